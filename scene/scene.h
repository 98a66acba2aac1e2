// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

#include "scene/shape.h"

// The scene in test order; the first of several shapes hit at the same distance wins.
extern std::vector<Shape> shapes;

// Appends the twelve shapes of the fixed scene and seeds the random generator with 1337.
void initShapes();

// Prepares the planes for rays starting at `eye` (their `planeDist`). Call before each frame.
void precalcFrame(const Vec3& eye);
