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

// How a two-worker frame shares its work. One worker traces the bottom band's first part, rows
// [240, splitRow), with the values from position 0 of the frame's stretch of the sequence, and
// then the top band. The rows from splitRow on are cut into later parts, each with its values
// from a position set here (starts), beyond where the part before it is expected to end. Both
// workers take the next free later part, in order: the other worker from the frame's start, the
// top band's worker while the top band waits for a part's end. The top band's
// values fill the stretch from the first part's end to the first later part's start, then from
// each later part's end to the next one's start, and go on after the last one's end. So each
// band's values come in its own order, and the frame uses one unbroken stretch.
// parts = 0: the bottom band is not split, and one worker traces the whole frame.
struct FramePlan {
    static constexpr int kMostParts = 64;
    int splitRow = kHeight;
    int parts = 0;
    // Later part i is rows [rows[i], rows[i + 1]), rows[parts] = kHeight; its values start at
    // starts[i], a multiple of 3.
    std::array<int, kMostParts + 1> rows{};
    std::array<std::uint64_t, kMostParts> starts{};
};

// A plan with one later part, rows [splitRow, kHeight) from secondStart.
FramePlan twoPartPlan(int splitRow, std::uint64_t secondStart);

// How the workers trace the later parts they take: one path after another, or side by side
// (tracer/path_lanes.h), several parts at once.
enum class PartsTraced { OneAfterAnother, SideBySide };

// The plan for a frame like the ones measured: the top band's worker does a little less than
// half the work by itself and takes later parts for the rest, the other takes them from the
// front; each part's start leaves room for its values' variation, and the top band is expected
// to go on for a small share of its values after the last part. Without figures, the bottom band
// is not split. Where parts are traced side by side, the first part is empty: the top band's
// worker traces the top band's pixels one after another anyway, and every row it traces so is
// traced slower than a later part's, so its own work is the top band alone.
FramePlan planFrame(const RowFigures& last, PartsTraced traced = PartsTraced::OneAfterAnother);

// Values of the sequence a band used, [from, to) in positions counted from the frame's first.
struct DrawStretch {
    std::uint64_t from;
    std::uint64_t to;
};

// Where each part's values ended in a frame traced by a plan (usedEnd of its draws).
struct PartEnds {
    std::uint64_t firstPart = 0; // the bottom band's first part
    std::uint64_t top = 0;
    std::array<std::uint64_t, FramePlan::kMostParts> later{};
    // The later parts the top band's draws went on after (they reached each one's start while
    // the values before it were still free for them); those after it are not kept.
    int passed = 0;
};

// The stretches each band used, in the order it used them, for the bottom band's first part and
// the later parts the frame keeps; returns how many later parts it keeps. The others (the top
// band did not fill the stretch before them, or the part before ran into their values) must be
// traced again after the top band's values.
int bandStretches(const FramePlan& plan, const PartEnds& ends, std::vector<DrawStretch>& top,
                  std::vector<DrawStretch>& bottom);
