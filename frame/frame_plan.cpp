// SPDX-License-Identifier: MIT
#include "frame/frame_plan.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "frame/frame.h"

namespace {

// The share of the top band's values (in 1/1024) left after secondStart. The top band must use
// at least the rest, or the stretch before secondStart is not filled and the second part is
// traced again; from frame to frame its values vary by far less than this.
constexpr std::uint64_t kTopMargin = 12;

template <typename T> T sum(const std::array<T, kHeight>& rows, int first, int end) {
    return std::accumulate(rows.begin() + first, rows.begin() + end, T{0});
}

} // namespace

FramePlan planFrame(const RowFigures& last) {
    if (!last.known) {
        return {};
    }
    // The top band's values up to secondStart, and the time its rows take to use them: whole
    // rows, then a share of the row where the count is reached.
    const std::uint64_t topValues = sum(last.values, 0, kBandSplitRow);
    const std::uint64_t topBefore = topValues - topValues * kTopMargin / 1024;
    std::int64_t topTime = 0;
    std::uint64_t counted = 0;
    for (int row = 0; row < kBandSplitRow && counted < topBefore; ++row) {
        const std::uint64_t values = last.values[row];
        const std::uint64_t wanted = std::min(values, topBefore - counted);
        topTime += values == 0 ? last.nanoseconds[row]
                               : static_cast<std::int64_t>(
                                     static_cast<double>(last.nanoseconds[row]) *
                                     static_cast<double>(wanted) / static_cast<double>(values));
        counted += wanted;
    }
    // The first worker's time up to secondStart (the first part, then the top band's rows up to
    // there) against the second's (the second part): the split row that brings them closest.
    std::int64_t first = 0;
    std::int64_t second = sum(last.nanoseconds, kBandSplitRow, kHeight);
    int split = kBandSplitRow;
    std::int64_t best = std::llabs(topTime - second);
    for (int row = kBandSplitRow; row < kHeight; ++row) {
        first += last.nanoseconds[row];
        second -= last.nanoseconds[row];
        const std::int64_t gap = std::llabs(first + topTime - second);
        if (gap < best) {
            best = gap;
            split = row + 1;
        }
    }
    if (split == kHeight) {
        return {};
    }
    const std::uint64_t before = sum(last.values, kBandSplitRow, split) + topBefore;
    // Bounces take whole triples from position 0.
    return {split, before - before % 3};
}

bool bandStretches(const FramePlan& plan, const PartEnds& ends, std::vector<DrawStretch>& top,
                   std::vector<DrawStretch>& bottom) {
    if (plan.splitRow == kHeight) {
        top.assign(1, {ends.firstPart, ends.top});
        bottom.assign(1, {0, ends.firstPart});
        return true;
    }
    if (ends.firstPartReachedSecond || ends.top < plan.secondStart) {
        return false;
    }
    // The top band went on after the second part's values, unless it ended just where they
    // begin.
    top.assign(1, {ends.firstPart, plan.secondStart});
    if (ends.top > plan.secondStart) {
        top.push_back({ends.secondPart, ends.top});
    }
    bottom.assign(1, {0, ends.firstPart});
    bottom.push_back({plan.secondStart, ends.secondPart});
    return true;
}
