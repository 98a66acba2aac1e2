// SPDX-License-Identifier: MIT
#include "frame/frame.h"

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

// Each band keeps its own draws from frame to frame, so no value of the sequence is lost.
DrawStream gTopDraws(gRandom);
DrawStream gBottomDraws(gRandom);

} // namespace

FrameStats traceFrame(FrameMode mode) {
    if (gSamples >= kMaxSamples) {
        return {std::chrono::nanoseconds(0), 0};
    }
    ++gSamples;
    precalcFrame(gRayOrigin);
    const FrameScene& scene = prepareFrameScene();
    gTopDraws.syncWithSource();
    gBottomDraws.syncWithSource();
    std::uint64_t top = 0;
    std::uint64_t bottom = 0;
    const auto start = std::chrono::steady_clock::now();
    if (mode == FrameMode::TwoWorkers) {
        // The top band sees mostly the light and is done long before the bottom one; its worker
        // then takes the bottom band's draws ahead, so that the bottom worker only traces.
        std::atomic<bool> bottomDone{false};
        std::thread a([&] {
            top = render(0, kBandSplitRow, scene, gTopDraws);
            while (!bottomDone.load(std::memory_order_relaxed) && gBottomDraws.takeRunAhead()) {
            }
        });
        std::thread b;
        try {
            b = std::thread([&] {
                bottom = render(kBandSplitRow, kHeight, scene, gBottomDraws);
                bottomDone.store(true, std::memory_order_relaxed);
            });
        } catch (...) {
            // The bottom worker could not start: the top one finishes its band and stops taking
            // draws, and only then is the failure passed on.
            bottomDone.store(true, std::memory_order_relaxed);
            a.join();
            throw;
        }
        a.join();
        b.join();
    } else {
        // One supply of draws for both bands, used in order: the draws of the plain sequence.
        top = render(0, kBandSplitRow, scene, gTopDraws);
        bottom = render(kBandSplitRow, kHeight, scene, gTopDraws);
    }
    const auto stop = std::chrono::steady_clock::now();
    return {stop - start, top + bottom};
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
    gTopDraws.syncWithSource();
    gBottomDraws.syncWithSource();
    return {gRandom.state(), gTopDraws.heldBounces(), gBottomDraws.heldBounces()};
}

void setDrawState(const DrawState& state) {
    gRandom.setState(state.generator);
    gTopDraws.holdBounces(state.top);
    gBottomDraws.holdBounces(state.bottom);
}
