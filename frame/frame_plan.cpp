// SPDX-License-Identifier: MIT
#include "frame/frame_plan.h"

#include <cstdlib>
#include <numeric>

#include "frame/frame.h"

namespace {

// The share of the top band's values (in 1/1024) left after secondStart. The top band must use
// at least the rest, or the stretch before secondStart is not filled and the second part is
// traced again; from frame to frame its values vary by far less than this.
constexpr std::uint64_t kTopMargin = 32;

template <typename T> T sum(const std::array<T, kHeight>& rows, int first, int end) {
    return std::accumulate(rows.begin() + first, rows.begin() + end, T{0});
}

} // namespace

FramePlan planFrame(const RowFigures& last) {
    if (!last.known) {
        return {};
    }
    // The first worker's time up to secondStart: the first part and most of the top band; the
    // second worker's: the second part. The split row that brings them closest.
    const std::int64_t topTime = sum(last.nanoseconds, 0, kBandSplitRow);
    const std::int64_t topBefore = topTime - topTime * static_cast<std::int64_t>(kTopMargin) / 1024;
    std::int64_t first = 0;
    std::int64_t second = sum(last.nanoseconds, kBandSplitRow, kHeight);
    int split = kBandSplitRow;
    std::int64_t best = std::llabs(topBefore - second);
    for (int row = kBandSplitRow; row < kHeight; ++row) {
        first += last.nanoseconds[row];
        second -= last.nanoseconds[row];
        const std::int64_t gap = std::llabs(first + topBefore - second);
        if (gap < best) {
            best = gap;
            split = row + 1;
        }
    }
    if (split == kHeight) {
        return {};
    }
    const std::uint64_t topValues = sum(last.values, 0, kBandSplitRow);
    const std::uint64_t before =
        sum(last.values, kBandSplitRow, split) + topValues - topValues * kTopMargin / 1024;
    // Bounces take whole triples from position 0.
    return {split, before - before % 3};
}
