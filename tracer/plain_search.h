// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

#include "scene/shape.h"

// The plain search, part of the oracle the fast tracer is tested against (with each shape's own
// test in scene/shape.cpp and the recursive path in tracer/path_tracer.cpp): one shape after
// another, as written, never vectorised by hand.

// Distances at or below this are the ray's own surface; at or beyond `kNoHit` nothing is hit.
constexpr float kMinHitDistance = 0.0029f;
constexpr float kNoHit = 1000000.0f;

// The nearest shape of `shapes` hit by the ray, or null. `t` receives its distance, or kNoHit.
// Of shapes hit at exactly the same distance the first in the list wins.
const Shape* findClosestShape(const Vec3& origin, const Vec3& dir, float& t, bool fromEye);

// The same over another list of shapes.
const Shape* findClosestShape(const std::vector<Shape>& list, const Vec3& origin, const Vec3& dir,
                              float& t, bool fromEye);
