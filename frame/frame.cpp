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

std::uint64_t traceTwoWorkers(const FrameScene& scene) {
    const FramePlan plan = gPlanGiven ? gGivenPlan : planFrame(gLastRows);
    gPlanGiven = false;
    const int split = plan.splitRow;
    const std::uint64_t secondStart = plan.secondStart;
    const bool shared = split < kHeight;
    const RandomSequence::State origin = gRandom.state();
    gBottomHeld.bounces.clear();
    // Made once, for every frame after: a frame allocates nothing but its threads.
    gSecondBefore.resize(static_cast<std::size_t>(kHeight - kBandSplitRow) * kWidth);
    FrameDraws& draws = gLastDraws;
    draws.top.reserve(2);
    draws.bottom.reserve(2);
    gFirstDraws.startAt(origin, 0);
    if (shared) {
        // Reaching secondStart in the first part would take the second part's values: noted,
        // and the second part is traced again.
        gFirstDraws.stopAt(secondStart, nullptr);
        gSecondDraws.startAt(origin, secondStart);
    }
    RowFigures rows;
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::uint64_t firstPartEnd = 0;
    bool firstPartReachedStop = false;
    std::thread a([&] {
        first = traceRows(kBandSplitRow, split, scene, gFirstDraws, rows);
        firstPartEnd = gFirstDraws.usedEnd();
        firstPartReachedStop = gFirstDraws.reachedStop();
        if (shared && !firstPartReachedStop) {
            gFirstDraws.stopAt(secondStart, &gSecondDraws);
        }
        first += traceRows(0, kBandSplitRow, scene, gFirstDraws, rows);
    });
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
    }

    const std::uint64_t topEnd = gFirstDraws.usedEnd();
    draws.origin = origin;
    draws.plan = plan;
    draws.retraced = false;
    draws.top.clear();
    draws.bottom.assign(1, {0, firstPartEnd});
    std::uint64_t end = topEnd;
    if (!shared) {
        draws.top.push_back({firstPartEnd, topEnd});
    } else if (!firstPartReachedStop && topEnd >= secondStart) {
        // The top band used every value up to secondStart, and those after the second part's.
        const std::uint64_t secondEnd = gSecondDraws.usedEnd();
        draws.bottom.push_back({secondStart, secondEnd});
        draws.top.push_back({firstPartEnd, secondStart});
        if (topEnd > secondStart) {
            draws.top.push_back({secondEnd, topEnd});
        }
        end = std::max(topEnd, secondEnd);
    } else {
        // The plan missed: the second part goes again, after the top band's values.
        std::copy(gSecondBefore.begin(),
                  gSecondBefore.begin() + (rowSums(kHeight) - rowSums(split)), rowSums(split));
        gFirstDraws.startAt(origin, topEnd);
        second = traceRows(split, kHeight, scene, gFirstDraws, rows);
        end = gFirstDraws.usedEnd();
        draws.top.push_back({firstPartEnd, topEnd});
        draws.bottom.push_back({topEnd, end});
        draws.retraced = true;
    }
    // Nothing is held over: the next frame starts just after this one's last value.
    gFirstDraws.startAt(origin, end);
    gSecondDraws.clear();
    // Times vary from frame to frame far more than the work: the plan follows their running mean.
    if (gLastRows.known) {
        for (int row = 0; row < kHeight; ++row) {
            rows.nanoseconds[row] = (rows.nanoseconds[row] + gLastRows.nanoseconds[row]) / 2;
        }
    }
    rows.known = true;
    gLastRows = rows;
    return first + second;
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
