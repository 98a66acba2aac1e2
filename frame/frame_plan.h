// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

#include "frame/image.h"

// What one frame took, row by row: the time its tracing took and the values of the generator's
// sequence its draws used.
struct RowFigures {
    std::array<std::int64_t, kHeight> nanoseconds{};
    std::array<std::uint64_t, kHeight> values{};
    bool known = false;
};

// How a two-worker frame shares its work. One worker traces the bottom band's rows from 240 to
// splitRow and then the top band; the other, at the same time, the bottom band's rows from
// splitRow on, with the values from position secondStart of the frame's stretch of the sequence.
// The first part's values come first, from position 0; the top band's fill the stretch from the
// end of the first part to secondStart and go on after the second part's. So each band's values
// come in its own order, and the frame uses one unbroken stretch. splitRow = kHeight: the bottom
// band is not split, and one worker traces the whole frame.
struct FramePlan {
    int splitRow = kHeight;
    std::uint64_t secondStart = 0;
};

// The plan for a frame like the one measured: the top band's worker is expected to reach
// secondStart, with a small part of the top band left for after the second part, just as the
// second part ends. Without figures, the bottom band is not split.
FramePlan planFrame(const RowFigures& last);
