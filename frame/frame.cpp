// SPDX-License-Identifier: MIT
#include "frame/frame.h"

#include <new>
#include <system_error>

#include "frame/frame_scene.h"
#include "frame/image.h"
#include "frame/render.h"
#include "frame/two_worker_frame.h"
#include "scene/scene.h"
#include "tracer/draws.h"

namespace {

using Clock = std::chrono::steady_clock;

// What the frames so far leave the next ones, besides the sums and the sample count (image.h).
struct FrameLoop {
    // The program's draws: both bands of a sequential frame, which leaves the bounces it took but
    // did not use here for the next.
    DrawStream draws{gRandom};
    TwoWorkerFrame twoWorkers;
};
FrameLoop gFrames;

std::uint64_t traceTwoWorkers(const FrameScene& scene) {
    const std::uint64_t segments =
        gFrames.twoWorkers.trace(scene, gRandom.state(), gRandom.generation());
    // Nothing is held over: the next frame starts just after this one's last value.
    gFrames.draws.startAt(gFrames.twoWorkers.end(), 0);
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
    gFrames.draws.syncWithSource();
    std::uint64_t segments = 0;
    bool retraced = false;
    const auto start = Clock::now();
    if (mode == FrameMode::TwoWorkers) {
        segments = traceTwoWorkers(scene);
        retraced = gFrames.twoWorkers.lastDraws().retraced;
    } else {
        // One supply of draws for both bands, used in order: the draws of the plain sequence.
        segments = render(0, kBandSplitRow, scene, gFrames.draws);
        segments += render(kBandSplitRow, kHeight, scene, gFrames.draws);
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
    gFrames.draws.syncWithSource();
    return {gRandom.state(), gFrames.draws.heldBounces()};
}

void setDrawState(const DrawState& state) {
    gRandom.setState(state.generator);
    gFrames.draws.syncWithSource();
    gFrames.draws.holdBounces(state.held);
}

const FrameDraws& lastFrameDraws() {
    return gFrames.twoWorkers.lastDraws();
}

void setNextFramePlan(const FramePlan& plan, TwoWorkerFrame::Workers workers) {
    gFrames.twoWorkers.planNext(plan, workers);
}
