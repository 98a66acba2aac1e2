// SPDX-License-Identifier: MIT
#pragma once

#include "scene/vec3.h"

class DrawStream;

// Paths reach at most this depth: depths 0 to 10 are traced, so at most 11 surface hits.
constexpr int kMaxDepth = 10;

// The light one ray brings back: the emission the path finally reaches times the colours of the
// surfaces it bounced off, or black when it leaves the scene or runs past kMaxDepth. Every hit
// draws a bounce, even on a light. Depth 0 marks a primary ray, which must start at the eye.
// This is the plain recursive form over `shapes`; tracePathFromHit (fast_paths.h) is the fast
// equivalent.
Vec3 pathTraceRay(const Vec3& origin, const Vec3& dir, int depth, DrawStream& draws);

// The first hit of a path, already found: shape index (-1 for none), point and normal.
struct PathStart {
    Vec3 point;
    Vec3 normal;
    int shape;
};
