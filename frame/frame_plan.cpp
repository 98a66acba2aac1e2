// SPDX-License-Identifier: MIT
#include "frame/frame_plan.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// The share of the top band's values (in 1/1024) left for after the last later part. If the top
// band uses fewer than planned, it does not reach the last parts' starts, and they are traced
// again; from frame to frame its values vary by less than this.
constexpr std::uint64_t kTopMargin = 12;

// Rows of a later part: small enough that the two workers finish within a part of each other,
// and that the top band's worker waits little for the part the other is tracing; large enough
// that the parts it takes, each reached with a jump of the generator, are few.
constexpr int kPartRows = 4;
static_assert((kHeight - kBandSplitRow + kPartRows - 1) / kPartRows <= FramePlan::kMostParts,
              "the bottom band's rows fit in the parts a plan holds");

// The top band's worker's own work, the first part and the top band, is planned this share of
// a frame's time (in 1/64) short of half; it takes later parts for the rest. If its own work
// then takes that much longer than measured, the other worker still has parts to the end.
constexpr std::int64_t kLeftToShare = 4;

template <typename T> T sum(const std::array<T, kHeight>& rows, int first, int end) {
    return std::accumulate(rows.begin() + first, rows.begin() + end, T{0});
}

std::uint64_t wholeTriplesUp(std::uint64_t values) {
    return (values + 2) / 3 * 3;
}

// The room left for a part's values beyond their measured count. A row's count varies from frame
// to frame by about twice the square root of its values, and so does a part's: the room is five
// times that (about four once the error of the running mean it is planned from is added).
std::uint64_t room(std::uint64_t values) {
    return static_cast<std::uint64_t>(10.0 * std::sqrt(static_cast<double>(values))) + 3;
}

} // namespace

FramePlan twoPartPlan(int splitRow, std::uint64_t secondStart) {
    FramePlan plan;
    plan.splitRow = splitRow;
    plan.parts = splitRow < kHeight ? 1 : 0;
    plan.rows[0] = splitRow;
    plan.rows[plan.parts] = kHeight;
    plan.starts[0] = secondStart;
    return plan;
}

FramePlan planFrame(const RowFigures& last, PartsTraced traced) {
    if (!last.known) {
        return {};
    }
    // The first part: the rows that, with the top band, take the top band's worker a little
    // less than half the frame's time.
    const std::int64_t total = sum(last.nanoseconds, 0, kHeight);
    const std::int64_t own =
        traced == PartsTraced::SideBySide ? 0 : total / 2 - total * kLeftToShare / 64;
    std::int64_t first = sum(last.nanoseconds, 0, kBandSplitRow);
    int split = kBandSplitRow;
    while (split < kHeight && first + last.nanoseconds[split] / 2 < own) {
        first += last.nanoseconds[split];
        ++split;
    }
    if (split == kHeight) {
        return {};
    }
    FramePlan plan;
    plan.splitRow = split;
    for (int row = split; row < kHeight; row += kPartRows) {
        plan.rows[plan.parts++] = row;
    }
    plan.rows[plan.parts] = kHeight;
    // The top band's values before the first later part: all but the room between later parts
    // and the share left for after the last.
    const std::uint64_t topValues = sum(last.values, 0, kBandSplitRow);
    std::uint64_t between = 0;
    for (int part = 0; part + 1 < plan.parts; ++part) {
        between += room(sum(last.values, plan.rows[part], plan.rows[part + 1]));
    }
    const std::uint64_t after = topValues * kTopMargin / 1024;
    if (between + after >= topValues) {
        return {};
    }
    std::uint64_t start = sum(last.values, kBandSplitRow, split) + topValues - between - after;
    // Bounces take whole triples from position 0.
    start -= start % 3;
    for (int part = 0; part < plan.parts; ++part) {
        plan.starts[part] = start;
        const std::uint64_t values = sum(last.values, plan.rows[part], plan.rows[part + 1]);
        start += wholeTriplesUp(values + room(values));
    }
    return plan;
}

int bandStretches(const FramePlan& plan, const PartEnds& ends, std::vector<DrawStretch>& top,
                  std::vector<DrawStretch>& bottom) {
    // The top band fills the stretch before each later part it went on after, from the end of
    // the part before, and goes on after the last of them.
    // A stream takes values a little ahead of those it uses: the top band went on after a part
    // only if it used a value beyond the part's start.
    int passed = ends.passed;
    while (passed > 0 && ends.top <= plan.starts[passed - 1]) {
        --passed;
    }
    top.clear();
    bottom.assign(1, {0, ends.firstPart});
    std::uint64_t from = ends.firstPart;
    for (int part = 0; part < passed; ++part) {
        top.push_back({from, plan.starts[part]});
        bottom.push_back({plan.starts[part], ends.later[part]});
        from = ends.later[part];
    }
    top.push_back({from, ends.top});
    return passed;
}
