// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

#include "scene/vec3.h"

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kPixelCount = kWidth * kHeight;

// Per-pixel sums of the clamped samples, row-major (row * kWidth + column).
extern std::vector<Vec3> gAccumColor1;
// The eye point, (0, 0, -32); it never moves.
extern Vec3 gRayOrigin;
// Frames begun: the number of samples in every accumulator once a frame's tracing is done.
extern int gSamples;

// Zeroes every accumulator and the sample count.
void clearImage();
