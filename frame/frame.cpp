// SPDX-License-Identifier: MIT
#include "frame/frame.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>

#include "frame/frame_scene.h"
#include "frame/image.h"
#include "frame/render.h"
#include "scene/scene.h"
#include "tracer/draws.h"

namespace {

using Clock = std::chrono::steady_clock;

// The first worker's draws, from the program's generator: in a two-worker frame the bottom
// band's first part and then the top band, in a sequential frame both bands. A sequential frame
// leaves the bounces it took but did not use here for the next.
DrawStream gFirstDraws(gRandom);
// The second worker's: the bottom band's second part, further on in the sequence.
SharedRandom gSecondRandom;
DrawStream gSecondDraws(gSecondRandom);

// Bounces a state set for the bottom band; none is ever used (see setDrawState).
struct {
    std::vector<std::uint16_t> bounces;
    unsigned generation = 0;
} gBottomHeld;

// The sums of the bottom band's second part before the frame, to trace it again if need be.
std::vector<Vec3> gSecondBefore;

RowFigures gLastRows;
FrameDraws gLastDraws;
bool gPlanGiven = false;
FramePlan gGivenPlan;

Vec3* rowSums(int row) {
    return gAccumColor1.data() + static_cast<std::ptrdiff_t>(row) * kWidth;
}

// Traces rows [first, end) one at a time, noting each one's time and values; with `keep`, each
// row's sums are copied there first (row `first` at keep[0]), while they are at hand.
std::uint64_t traceRows(int first, int end, const FrameScene& scene, DrawStream& draws,
                        RowFigures& rows, Vec3* keep = nullptr) {
    std::uint64_t segments = 0;
    auto before = Clock::now();
    std::uint64_t used = draws.usedCount();
    auto waited = draws.waited();
    for (int row = first; row < end; ++row) {
        if (keep != nullptr) {
            std::copy(rowSums(row), rowSums(row + 1), keep + (row - first) * kWidth);
        }
        segments += render(row, row + 1, scene, draws);
        const auto after = Clock::now();
        const std::uint64_t usedAfter = draws.usedCount();
        // Time spent waiting for the other worker is not the row's.
        rows.nanoseconds[row] = (after - before - (draws.waited() - waited)).count();
        waited = draws.waited();
        rows.values[row] = usedAfter - used;
        before = after;
        used = usedAfter;
    }
    return segments;
}

// The bottom band's second part on the second worker, its sums kept as they were first.
std::uint64_t traceSecondPart(int split, const FrameScene& scene, RowFigures& rows) {
    const std::uint64_t segments =
        traceRows(split, kHeight, scene, gSecondDraws, rows, gSecondBefore.data());
    gSecondDraws.finish();
    return segments;
}

// The two workers of a frame, each on its thread, joined.
std::uint64_t traceParts(const FramePlan& plan, const FrameScene& scene, RowFigures& rows,
                         PartEnds& ends) {
    const int split = plan.splitRow;
    const bool shared = split < kHeight;
    if (shared) {
        // Reaching secondStart in the first part would take the second part's values: noted,
        // and the second part is traced again.
        gFirstDraws.stopAt(plan.secondStart, nullptr);
    }
    std::uint64_t first = 0;
    std::thread a([&] {
        first = traceRows(kBandSplitRow, split, scene, gFirstDraws, rows);
        ends.firstPart = gFirstDraws.usedEnd();
        ends.firstPartReachedSecond = gFirstDraws.reachedStop();
        if (shared && !ends.firstPartReachedSecond) {
            gFirstDraws.stopAt(plan.secondStart, &gSecondDraws);
        }
        first += traceRows(0, kBandSplitRow, scene, gFirstDraws, rows);
        ends.top = gFirstDraws.usedEnd();
    });
    std::uint64_t second = 0;
    std::thread b;
    try {
        if (shared) {
            b = std::thread([&] { second = traceSecondPart(split, scene, rows); });
        }
    } catch (...) {
        // The second worker could not start: the first must not wait for it at secondStart.
        gSecondDraws.finish();
        a.join();
        throw;
    }
    a.join();
    if (b.joinable()) {
        b.join();
        ends.secondPart = gSecondDraws.usedEnd();
    }
    return first + second;
}

// Notes which values each band used, and returns where the frame's stretch ends. If the plan
// missed, the second part is traced again after the top band's values (adding its segments).
std::uint64_t settleDraws(const FramePlan& plan, const FrameScene& scene, const PartEnds& ends,
                          RowFigures& rows, FrameDraws& draws, std::uint64_t& segments) {
    draws.plan = plan;
    draws.retraced = !bandStretches(plan, ends, draws.top, draws.bottom);
    if (!draws.retraced) {
        return std::max(ends.top, plan.splitRow < kHeight ? ends.secondPart : 0);
    }
    const int split = plan.splitRow;
    std::copy(gSecondBefore.begin(), gSecondBefore.begin() + (rowSums(kHeight) - rowSums(split)),
              rowSums(split));
    gFirstDraws.startAt(draws.origin, ends.top);
    segments += traceRows(split, kHeight, scene, gFirstDraws, rows);
    const std::uint64_t end = gFirstDraws.usedEnd();
    draws.top.assign(1, {ends.firstPart, ends.top});
    draws.bottom.assign(1, {0, ends.firstPart});
    draws.bottom.push_back({ends.top, end});
    return end;
}

// Keeps the frame's row figures for the next plan. Times vary from frame to frame far more than
// the work: the plan follows their running mean.
void keepRowFigures(RowFigures& rows) {
    if (gLastRows.known) {
        for (int row = 0; row < kHeight; ++row) {
            rows.nanoseconds[row] = (rows.nanoseconds[row] + gLastRows.nanoseconds[row]) / 2;
        }
    }
    rows.known = true;
    gLastRows = rows;
}

std::uint64_t traceTwoWorkers(const FrameScene& scene) {
    const FramePlan plan = gPlanGiven ? gGivenPlan : planFrame(gLastRows);
    gPlanGiven = false;
    // Made once, for every frame after: a frame allocates nothing but its threads.
    gSecondBefore.resize(static_cast<std::size_t>(kHeight - kBandSplitRow) * kWidth);
    gLastDraws.top.reserve(2);
    gLastDraws.bottom.reserve(2);
    gBottomHeld.bounces.clear();

    const RandomSequence::State origin = gRandom.state();
    gLastDraws.origin = origin;
    gFirstDraws.startAt(origin, 0);
    if (plan.splitRow < kHeight) {
        gSecondDraws.startAt(origin, plan.secondStart);
    }
    RowFigures rows;
    PartEnds ends;
    std::uint64_t segments = traceParts(plan, scene, rows, ends);
    const std::uint64_t end = settleDraws(plan, scene, ends, rows, gLastDraws, segments);
    // Nothing is held over: the next frame starts just after this one's last value.
    gFirstDraws.startAt(origin, end);
    gSecondDraws.clear();
    keepRowFigures(rows);
    return segments;
}

} // namespace

FrameStats traceFrame(FrameMode mode) {
    if (gSamples >= kMaxSamples) {
        return {std::chrono::nanoseconds(0), 0};
    }
    ++gSamples;
    precalcFrame(gRayOrigin);
    const FrameScene& scene = prepareFrameScene();
    gFirstDraws.syncWithSource();
    std::uint64_t segments = 0;
    bool retraced = false;
    const auto start = Clock::now();
    if (mode == FrameMode::TwoWorkers) {
        segments = traceTwoWorkers(scene);
        retraced = gLastDraws.retraced;
    } else {
        // One supply of draws for both bands, used in order: the draws of the plain sequence.
        segments = render(0, kBandSplitRow, scene, gFirstDraws);
        segments += render(kBandSplitRow, kHeight, scene, gFirstDraws);
    }
    const auto stop = Clock::now();
    return {stop - start, segments, retraced};
}

std::string frameFailure() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::system_error& e) {
        return "cannot start a worker thread: " + e.code().message();
    }
}

std::string tracingTimeLine(std::chrono::nanoseconds tracing) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tracing).count();
    return "Tracing time: " + std::to_string(ms) + " ms.";
}

DrawState drawState() {
    gFirstDraws.syncWithSource();
    if (gBottomHeld.generation != gRandom.generation()) {
        gBottomHeld.bounces.clear();
    }
    return {gRandom.state(), gFirstDraws.heldBounces(), gBottomHeld.bounces};
}

// The bottom band's bounces come from checkpoints of earlier versions, whose two workers took
// runs of the sequence for each band in turn: they are kept only to be written back, and the
// next two-worker frame drops them with the top band's.
void setDrawState(const DrawState& state) {
    gRandom.setState(state.generator);
    gFirstDraws.syncWithSource();
    gFirstDraws.holdBounces(state.top);
    gBottomHeld = {state.bottom, gRandom.generation()};
}

const FrameDraws& lastFrameDraws() {
    return gLastDraws;
}

void setNextFramePlan(const FramePlan& plan) {
    gGivenPlan = plan;
    gPlanGiven = true;
}
