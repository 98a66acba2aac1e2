// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <vector>

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

// Values of the sequence a band used, [from, to) in positions counted from the frame's first.
struct DrawStretch {
    std::uint64_t from;
    std::uint64_t to;
};

// Where each part's values ended in a frame traced by a plan (usedEnd of its draws).
struct PartEnds {
    std::uint64_t firstPart = 0; // the bottom band's first part
    std::uint64_t top = 0;
    std::uint64_t secondPart = 0;
    bool firstPartReachedSecond = false; // the first part took values at secondStart or beyond
};

// The stretches each band used, in the order it used them, when the frame went as planned. False,
// and nothing set, when it did not: the first part ran into the second part's values, or the top
// band did not use every value before them; the second part must then be traced again.
bool bandStretches(const FramePlan& plan, const PartEnds& ends, std::vector<DrawStretch>& top,
                   std::vector<DrawStretch>& bottom);
