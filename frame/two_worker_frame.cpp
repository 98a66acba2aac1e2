// SPDX-License-Identifier: MIT
#include "frame/two_worker_frame.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "frame/frame_scene.h"
#include "frame/image.h"
#include "frame/render.h"

namespace {

Vec3* rowSums(int row) {
    return gAccumColor1.data() + static_cast<std::ptrdiff_t>(row) * kWidth;
}

// For rows whose draws have no stop.
void noStop() {}

} // namespace

TwoWorkerFrame::TwoWorkerFrame() {
    // The most each band's stretches can be, so that a frame allocates nothing but its threads.
    last_.top.reserve(FramePlan::kMostParts + 1);
    last_.bottom.reserve(FramePlan::kMostParts + 2);
}

TwoWorkerFrame::PartLanes::PartLanes() {
    draws.reserve(sources.size());
    for (RandomSource& source : sources) {
        draws.emplace_back(source);
    }
}

bool TwoWorkerFrame::tracesInLanes(const FrameScene& scene) const {
    return pathLaneCount() > 1 && scene.packed.tracesInLanes();
}

// Sets `draws` at later part `index`'s start, for a worker whose claims take parts in increasing
// order: moved on there if they traced an earlier part of this frame (`started`; the stretch
// between is others' values, and the bounces held beyond it are the part's), started there from
// the frame's origin otherwise.
void TwoWorkerFrame::startPartDraws(int index, DrawStream& draws, bool& started) {
    const std::uint64_t start = plan_.starts[index];
    if (started && draws.usedEnd() <= start) {
        draws.moveTo(start);
    } else {
        draws.startAt(origin_, start);
    }
    started = true;
}

// Later part `index` is traced with `draws`: its segments and end are published.
void TwoWorkerFrame::publishPart(int index, const DrawStream& draws, std::uint64_t segments) {
    Part& part = parts_[index];
    part.segments = segments;
    part.end = draws.usedEnd();
    part.after = draws.stateAtUsedEnd();
    part.done.store(true, std::memory_order_release);
}

// Gives each idle lane of `worker` the next free part, while there is one.
void TwoWorkerFrame::fillIdleLanes(const FrameScene& scene, PartLanes& worker) {
    for (int lane = 0; lane < pathLaneCount(); ++lane) {
        if (!worker.lanes.busy(lane) && !takeFreePart(scene, worker, lane)) {
            return;
        }
    }
}

// Takes the next free later part into `lane`, its sums kept as they were and its draws at its
// start (startPartDraws): false, the lane left idle, when none is free.
bool TwoWorkerFrame::takeFreePart(const FrameScene& scene, PartLanes& worker, int lane) {
    const int index = claims_.claim();
    if (index < 0) {
        return false;
    }
    DrawStream& draws = worker.draws[lane];
    startPartDraws(index, draws, worker.started[lane]);
    const int first = plan_.rows[index];
    const int end = plan_.rows[index + 1];
    std::copy(rowSums(first), rowSums(end),
              laterBefore_.data() + (first - plan_.splitRow) * kWidth);
    LaneChain chain;
    chain.starts = scene.primaryHits.data() + static_cast<std::ptrdiff_t>(first) * kWidth;
    chain.sums = rowSums(first);
    chain.count = (end - first) * kWidth;
    chain.draws = &draws;
    chain.rowUsed = worker.rowUsed[lane].data();
    chain.rowLength = kWidth;
    worker.lanes.start(lane, chain);
    worker.part[lane] = index;
    worker.since[lane] = Clock::now();
    return true;
}

// The part in `lane` is traced: its figures noted, its end published. Its rows share its time
// evenly, and the time is the lane's share of the worker's.
void TwoWorkerFrame::finishPart(PartLanes& worker, int lane) {
    const int index = worker.part[lane];
    const DrawStream& draws = worker.draws[lane];
    const LaneChain& chain = worker.lanes.chains[lane];
    const int first = plan_.rows[index];
    const int rows = plan_.rows[index + 1] - first;
    const std::uint64_t* used = worker.rowUsed[lane].data();
    const std::int64_t nanoseconds = (Clock::now() - worker.since[lane]).count() / pathLaneCount();
    for (int k = 0; k < rows; ++k) {
        const std::uint64_t end = k + 1 < rows ? used[k + 1] : draws.usedCount();
        rows_.values[first + k] = end - used[k];
        rows_.nanoseconds[first + k] = nanoseconds / rows;
    }
    publishPart(index, draws, chain.segments + static_cast<std::uint64_t>(chain.count));
}

// Traces the lanes' parts until one is done, and takes the next free part into its lane: false
// when no lane has a part.
bool TwoWorkerFrame::traceTakenParts(const FrameScene& scene, PartLanes& worker) {
    const int lane = tracePathLanes(scene.packed, worker.lanes);
    if (lane < 0) {
        return false;
    }
    finishPart(worker, lane);
    takeFreePart(scene, worker, lane);
    return true;
}

void TwoWorkerFrame::planNext(const FramePlan& plan, Workers workers) {
    givenPlan_ = plan;
    givenWorkers_ = workers;
    planGiven_ = true;
}

// Traces rows [first, end) one at a time, noting each one's time and values; with `keep`, each
// row's sums are copied there first (row `first` at keep[0]), while they are at hand. Where the
// draws come to their stop, atStop() moves them on (or drops the stop); the time it takes is not
// the row's.
template <typename AtStop>
std::uint64_t TwoWorkerFrame::traceRows(int first, int end, const FrameScene& scene,
                                        DrawStream& draws, Vec3* keep, AtStop atStop) {
    std::uint64_t segments = 0;
    for (int row = first; row < end; ++row) {
        if (keep != nullptr) {
            std::copy(rowSums(row), rowSums(row + 1), keep + (row - first) * kWidth);
        }
        const auto start = Clock::now();
        const std::uint64_t used = draws.usedCount();
        Clock::duration stopped{0};
        int done = 0;
        if (draws.stop() == DrawStream::kNoStop) {
            // Draws with no stop take the loop that looks for none.
            segments += render(row, row + 1, scene, draws);
            done = kWidth;
        }
        while (done < kWidth) {
            done += renderUntilStop(row * kWidth + done, kWidth - done, scene, draws, segments);
            if (done < kWidth) {
                const auto stop = Clock::now();
                atStop();
                stopped += Clock::now() - stop;
            }
        }
        rows_.nanoseconds[row] = (Clock::now() - start - stopped).count();
        rows_.values[row] = draws.usedCount() - used;
    }
    return segments;
}

// Traces claimed later part `index` with `draws` (see startPartDraws). Its sums are kept as they
// were, and its end published.
void TwoWorkerFrame::traceClaimedPart(const FrameScene& scene, int index, DrawStream& draws,
                                      bool& started) {
    startPartDraws(index, draws, started);
    const int first = plan_.rows[index];
    const std::uint64_t segments =
        traceRows(first, plan_.rows[index + 1], scene, draws,
                  laterBefore_.data() + (first - plan_.splitRow) * kWidth, noStop);
    publishPart(index, draws, segments);
}

// The other worker: later parts as they are free, each with the values from its start on.
void TwoWorkerFrame::traceFreeParts(const FrameScene& scene) {
    if (tracesInLanes(scene)) {
        fillIdleLanes(scene, otherLanes_);
        while (traceTakenParts(scene, otherLanes_)) {
        }
        return;
    }
    bool started = false;
    for (int index = claims_.claim(); index >= 0; index = claims_.claim()) {
        traceClaimedPart(scene, index, otherDraws_, started);
    }
}

// The top band's draws stand at later part `passed_`'s start: while that part is not done, its
// worker takes the next free part (waiting would leave its core idle). Those lie just after the
// part it waits for, so when none is left, little of the top band is still ahead: the room after
// a part or two, and its rest after the last part. The top band then goes on after the part's
// values, and stops again at the next part's start if those values are still free.
void TwoWorkerFrame::awaitPart(const FrameScene& scene) {
    const Part& part = parts_[passed_];
    while (!part.done.load(std::memory_order_acquire)) {
        if (tracesInLanes(scene)) {
            fillIdleLanes(scene, waitingLanes_);
            if (!traceTakenParts(scene, waitingLanes_)) {
                std::this_thread::yield();
            }
            continue;
        }
        const int taken = claims_.claim();
        if (taken >= 0) {
            traceClaimedPart(scene, taken, waitingDraws_, waitingStarted_);
        } else {
            std::this_thread::yield();
        }
    }
    topDraws_.goOnAt(part.end, part.after);
    ++passed_;
    const bool nextFree = passed_ < plan_.parts && part.end <= plan_.starts[passed_];
    topDraws_.stopAt(nextFree ? plan_.starts[passed_] : DrawStream::kNoStop);
}

// The top band's worker: the first part, then the top band (taking later parts while it waits).
std::uint64_t TwoWorkerFrame::traceFirstPartAndTop(const FrameScene& scene, PartEnds& ends) {
    if (plan_.parts > 0) {
        topDraws_.stopAt(plan_.starts[0]);
    }
    // Reaching the first later part's start in the first part takes its values: every later
    // part is then traced again.
    std::uint64_t segments = traceRows(kBandSplitRow, plan_.splitRow, scene, topDraws_, nullptr,
                                       [&] { topDraws_.stopAt(DrawStream::kNoStop); });
    ends.firstPart = topDraws_.usedEnd();
    segments += traceRows(0, kBandSplitRow, scene, topDraws_, nullptr, [&] { awaitPart(scene); });
    ends.top = topDraws_.usedEnd();
    // Parts still free now lie beyond the top band's values: they are traced again anyway, and
    // so are those its lanes still trace (to the end, so that their sums can be put back).
    while (claims_.claim() >= 0) {
    }
    if (tracesInLanes(scene)) {
        while (traceTakenParts(scene, waitingLanes_)) {
        }
    }
    return segments;
}

// The two workers of a frame, each on its thread, joined.
std::uint64_t TwoWorkerFrame::traceParts(const FrameScene& scene, Workers workers, PartEnds& ends) {
    claims_.reset(plan_.parts);
    for (int index = 0; index < plan_.parts; ++index) {
        Part& part = parts_[index];
        part.done.store(false, std::memory_order_relaxed);
        part.end = 0;
        part.segments = 0;
    }
    passed_ = 0;
    waitingStarted_ = false;
    otherLanes_.started.fill(false);
    waitingLanes_.started.fill(false);

    std::uint64_t segments = 0;
    std::thread a([&] { segments = traceFirstPartAndTop(scene, ends); });
    std::thread b;
    try {
        if (plan_.parts > 0 && workers == Workers::Both) {
            b = std::thread([&] { traceFreeParts(scene); });
        }
    } catch (...) {
        a.join();
        throw;
    }
    a.join();
    if (b.joinable()) {
        b.join();
    }
    ends.passed = passed_;
    for (int index = 0; index < plan_.parts; ++index) {
        ends.later[index] = parts_[index].end;
        segments += parts_[index].segments;
    }
    return segments;
}

// Notes which values each band used. Later parts the frame does not keep get their sums back and
// are traced again after the top band's values (adding their segments).
void TwoWorkerFrame::settle(const FrameScene& scene, const PartEnds& ends,
                            std::uint64_t& segments) {
    last_.plan = plan_;
    const int kept = bandStretches(plan_, ends, last_.top, last_.bottom);
    last_.retraced = kept < plan_.parts;
    if (last_.retraced) {
        for (int index = kept; index < plan_.parts; ++index) {
            // A part no one took was never traced: its sums are as they were.
            if (parts_[index].done.load(std::memory_order_relaxed)) {
                const std::ptrdiff_t from = (plan_.rows[index] - plan_.splitRow) * kWidth;
                const std::ptrdiff_t to = (plan_.rows[index + 1] - plan_.splitRow) * kWidth;
                std::copy(laterBefore_.begin() + from, laterBefore_.begin() + to,
                          rowSums(plan_.rows[index]));
            }
        }
        topDraws_.startAt(origin_, ends.top);
        segments += traceRows(plan_.rows[kept], kHeight, scene, topDraws_, nullptr, noStop);
        last_.bottom.push_back({ends.top, topDraws_.usedEnd()});
    }
    // The frame's last value is the top band's, or that of the parts traced again.
    end_ = topDraws_.stateAtUsedEnd();
}

// Keeps the frame's row figures for the next plan, which follows their running mean: times vary
// from frame to frame far more than the work, and the counts a little.
void TwoWorkerFrame::keepRowFigures() {
    if (lastRows_.known) {
        for (int row = 0; row < kHeight; ++row) {
            rows_.nanoseconds[row] = (rows_.nanoseconds[row] + lastRows_.nanoseconds[row]) / 2;
            rows_.values[row] = (rows_.values[row] + lastRows_.values[row]) / 2;
        }
    }
    rows_.known = true;
    lastRows_ = rows_;
}

std::uint64_t TwoWorkerFrame::trace(const FrameScene& scene, const RandomSequence::State& origin,
                                    unsigned generation) {
    if (generation != generation_) {
        // Another picture: what the last one's frames measured says nothing of this one's.
        lastRows_ = RowFigures{};
        generation_ = generation;
    }
    Workers workers = Workers::Both;
    if (planGiven_) {
        plan_ = givenPlan_;
        workers = givenWorkers_;
        planGiven_ = false;
    } else {
        plan_ = planFrame(lastRows_, tracesInLanes(scene) ? PartsTraced::SideBySide
                                                          : PartsTraced::OneAfterAnother);
    }
    // Made once, for every frame after.
    laterBefore_.resize(static_cast<std::size_t>(kHeight - kBandSplitRow) * kWidth);
    origin_ = origin;
    last_.origin = origin;
    topDraws_.startAt(origin, 0);
    rows_ = RowFigures{};
    PartEnds ends;
    std::uint64_t segments = traceParts(scene, workers, ends);
    settle(scene, ends, segments);
    otherDraws_.clear();
    waitingDraws_.clear();
    keepRowFigures();
    return segments;
}
