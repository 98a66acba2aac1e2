// SPDX-License-Identifier: MIT
#pragma once

#include "frame/huge_pages.h"
#include "scene/vec3.h"

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kPixelCount = kWidth * kHeight;
// The window's two workers trace the top band, rows [0, 240), and the bottom band, the rest.
constexpr int kBandSplitRow = kHeight / 2;

// Per-pixel sums of the clamped samples, row-major (row * kWidth + column).
extern HugePageVector<Vec3> gAccumColor1;
// The eye point, (0, 0, -32); it never moves.
extern Vec3 gRayOrigin;
// Frames begun: the number of samples in every accumulator once a frame's tracing is done.
extern int gSamples;

// Zeroes every accumulator and the sample count.
void clearImage();
