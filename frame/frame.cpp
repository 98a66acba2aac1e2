// SPDX-License-Identifier: MIT
#include "frame/frame.h"

#include <algorithm>
#include <atomic>
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

// The top band's worker's draws, from the program's generator: in a two-worker frame the bottom
// band's first part and then the top band, in a sequential frame both bands. A sequential frame
// leaves the bounces it took but did not use here for the next.
DrawStream gFirstDraws(gRandom);
// Later parts' draws, further on in the sequence: the other worker's, and those of parts the
// top band's worker takes while the top band waits.
SharedRandom gSecondRandom;
DrawStream gSecondDraws(gSecondRandom);
SharedRandom gTakenRandom;
DrawStream gTakenDraws(gTakenRandom);

// Bounces a state set for the bottom band; none is ever used (see setDrawState).
struct {
    std::vector<std::uint16_t> bounces;
    unsigned generation = 0;
} gBottomHeld;

// The sums of the bottom band's later parts before the frame, to trace them again if need be.
std::vector<Vec3> gLaterBefore;

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
    auto stopped = draws.stopped();
    for (int row = first; row < end; ++row) {
        if (keep != nullptr) {
            std::copy(rowSums(row), rowSums(row + 1), keep + (row - first) * kWidth);
        }
        segments += render(row, row + 1, scene, draws);
        const auto after = Clock::now();
        const std::uint64_t usedAfter = draws.usedCount();
        // Time spent at a stop (waiting, or tracing other rows) is not the row's.
        rows.nanoseconds[row] = (after - before - (draws.stopped() - stopped)).count();
        stopped = draws.stopped();
        rows.values[row] = usedAfter - used;
        before = after;
        used = usedAfter;
    }
    return segments;
}

// A frame's later parts as the two workers take and trace them.
struct LaterParts {
    const FramePlan* plan = nullptr;
    const FrameScene* scene = nullptr;
    RowFigures* rows = nullptr;
    RandomSequence::State origin{};

    // Parts from `next` on are free.
    std::atomic<int> next{0};

    struct Part {
        std::atomic<bool> done{false};
        // Set before done.
        std::uint64_t end = 0;
        RandomSequence::State after{}; // the generator's state at end
        std::uint64_t segments = 0;
    };
    std::array<Part, FramePlan::kMostParts> parts;

    // The top band's worker's alone.
    bool firstPartRanOn = false; // the first part took values at the first later part's start
    int passed = 0;
    bool takenStarted = false; // it has traced a later part in this frame
};
LaterParts gLater;

// The first free later part, or -1.
int claimNext(LaterParts& later) {
    const int index = later.next.fetch_add(1, std::memory_order_relaxed);
    return index < later.plan->parts ? index : -1;
}

// Traces later part `index` with `draws`, which stand at its start, its sums kept as they were.
void tracePart(LaterParts& later, int index, DrawStream& draws) {
    const int first = later.plan->rows[index];
    LaterParts::Part& part = later.parts[index];
    part.segments = traceRows(first, later.plan->rows[index + 1], *later.scene, draws, *later.rows,
                              gLaterBefore.data() + (first - later.plan->splitRow) * kWidth);
    part.end = draws.usedEnd();
    part.after = draws.stateAtUsedEnd();
    part.done.store(true, std::memory_order_release);
}

// Traces claimed later part `index` with `draws`, which a worker's claims take in increasing
// order: moved on to the part's start if they traced an earlier part of this frame (the stretch
// between is others' values, and the bounces held beyond it are the part's), started there from
// the frame's origin otherwise.
void traceClaimedPart(LaterParts& later, int index, DrawStream& draws, bool& started) {
    const std::uint64_t start = later.plan->starts[index];
    if (started && draws.usedEnd() <= start) {
        draws.moveTo(start);
    } else {
        draws.startAt(later.origin, start);
    }
    started = true;
    tracePart(later, index, draws);
}

// The other worker: later parts as they are free, each with the values from its start on.
void traceFreeParts(LaterParts& later) {
    bool started = false;
    for (int index = claimNext(later); index >= 0; index = claimNext(later)) {
        traceClaimedPart(later, index, gSecondDraws, started);
    }
}

// The top band reached later part `passed`'s start: while that part is not done, the worker
// takes the next free part (waiting would leave its core idle). Those lie just after the part it
// waits for, so when none is left, little of the top band is still ahead: the room after a part
// or two, and its rest after the last part (parts taken from the far end would leave the room
// after each of them to this worker alone at the frame's end). The top band then goes on after
// the part's values, and stops again at the next part's start if those values are still free.
// If the other worker could not start, this one takes every part.
void reachLaterPart(void* context, DrawStream& top) {
    LaterParts& later = *static_cast<LaterParts*>(context);
    const int index = later.passed;
    const LaterParts::Part& part = later.parts[index];
    while (!part.done.load(std::memory_order_acquire)) {
        const int taken = claimNext(later);
        if (taken >= 0) {
            traceClaimedPart(later, taken, gTakenDraws, later.takenStarted);
        } else {
            std::this_thread::yield();
        }
    }
    top.goOnAt(part.end, part.after);
    later.passed = index + 1;
    if (later.passed < later.plan->parts && part.end <= later.plan->starts[later.passed]) {
        top.stopAt(later.plan->starts[later.passed], reachLaterPart, context);
    }
}

void noteFirstPartRanOn(void* context, DrawStream&) {
    static_cast<LaterParts*>(context)->firstPartRanOn = true;
}

// The top band's worker: the first part, the top band (taking later parts while it waits).
std::uint64_t traceFirstPartAndTop(LaterParts& later, PartEnds& ends) {
    const bool shared = later.plan->parts > 0;
    if (shared) {
        // Reaching the first later part's start in the first part would take its values:
        // noted, and every later part is traced again.
        gFirstDraws.stopAt(later.plan->starts[0], noteFirstPartRanOn, &later);
    }
    std::uint64_t segments =
        traceRows(kBandSplitRow, later.plan->splitRow, *later.scene, gFirstDraws, *later.rows);
    ends.firstPart = gFirstDraws.usedEnd();
    if (shared && !later.firstPartRanOn) {
        gFirstDraws.stopAt(later.plan->starts[0], reachLaterPart, &later);
    }
    segments += traceRows(0, kBandSplitRow, *later.scene, gFirstDraws, *later.rows);
    ends.top = gFirstDraws.usedEnd();
    // Parts still free now lie beyond the top band's values: they are traced again anyway.
    while (claimNext(later) >= 0) {
    }
    return segments;
}

// The two workers of a frame, each on its thread, joined.
std::uint64_t traceParts(const FramePlan& plan, const FrameScene& scene,
                         const RandomSequence::State& origin, RowFigures& rows, PartEnds& ends) {
    LaterParts& later = gLater;
    later.plan = &plan;
    later.scene = &scene;
    later.rows = &rows;
    later.origin = origin;
    later.next.store(0, std::memory_order_relaxed);
    for (int index = 0; index < plan.parts; ++index) {
        later.parts[index].done.store(false, std::memory_order_relaxed);
    }
    later.firstPartRanOn = false;
    later.passed = 0;
    later.takenStarted = false;

    std::uint64_t segments = 0;
    std::thread a([&] { segments = traceFirstPartAndTop(later, ends); });
    std::thread b;
    try {
        if (plan.parts > 0) {
            b = std::thread([&] { traceFreeParts(later); });
        }
    } catch (...) {
        a.join();
        throw;
    }
    a.join();
    if (b.joinable()) {
        b.join();
    }
    ends.passed = later.passed;
    for (int index = 0; index < plan.parts; ++index) {
        ends.later[index] = later.parts[index].end;
        segments += later.parts[index].segments;
    }
    return segments;
}

// Notes which values each band used. Later parts the frame does not keep are traced again after
// the top band's values (adding their segments).
void settleDraws(const FramePlan& plan, const FrameScene& scene, const PartEnds& ends,
                 RowFigures& rows, FrameDraws& draws, std::uint64_t& segments) {
    draws.plan = plan;
    const int kept = bandStretches(plan, ends, draws.top, draws.bottom);
    draws.retraced = kept < plan.parts;
    if (!draws.retraced) {
        return;
    }
    for (int index = kept; index < plan.parts; ++index) {
        if (gLater.parts[index].done.load(std::memory_order_relaxed)) {
            const std::ptrdiff_t from = (plan.rows[index] - plan.splitRow) * kWidth;
            const std::ptrdiff_t to = (plan.rows[index + 1] - plan.splitRow) * kWidth;
            std::copy(gLaterBefore.begin() + from, gLaterBefore.begin() + to,
                      rowSums(plan.rows[index]));
        }
    }
    const int first = plan.rows[kept];
    gFirstDraws.startAt(draws.origin, ends.top);
    segments += traceRows(first, kHeight, scene, gFirstDraws, rows);
    draws.bottom.push_back({ends.top, gFirstDraws.usedEnd()});
}

// Keeps the frame's row figures for the next plan, which follows their running mean: times vary
// from frame to frame far more than the work, and the counts a little.
void keepRowFigures(RowFigures& rows) {
    if (gLastRows.known) {
        for (int row = 0; row < kHeight; ++row) {
            rows.nanoseconds[row] = (rows.nanoseconds[row] + gLastRows.nanoseconds[row]) / 2;
            rows.values[row] = (rows.values[row] + gLastRows.values[row]) / 2;
        }
    }
    rows.known = true;
    gLastRows = rows;
}

std::uint64_t traceTwoWorkers(const FrameScene& scene) {
    const FramePlan plan = gPlanGiven ? gGivenPlan : planFrame(gLastRows);
    gPlanGiven = false;
    // Made once, for every frame after: a frame allocates nothing but its threads.
    gLaterBefore.resize(static_cast<std::size_t>(kHeight - kBandSplitRow) * kWidth);
    gLastDraws.top.reserve(FramePlan::kMostParts + 1);
    gLastDraws.bottom.reserve(FramePlan::kMostParts + 2);
    gBottomHeld.bounces.clear();

    const RandomSequence::State origin = gRandom.state();
    gLastDraws.origin = origin;
    gFirstDraws.startAt(origin, 0);
    RowFigures rows;
    PartEnds ends;
    std::uint64_t segments = traceParts(plan, scene, origin, rows, ends);
    settleDraws(plan, scene, ends, rows, gLastDraws, segments);
    // Nothing is held over: the next frame starts just after this one's last value, which the
    // top band's worker's draws took last (or those that traced later parts again).
    const RandomSequence::State next = gFirstDraws.stateAtUsedEnd();
    gFirstDraws.startAt(next, 0);
    gSecondDraws.clear();
    gTakenDraws.clear();
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
