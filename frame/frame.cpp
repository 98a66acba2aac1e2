#include "frame/frame.h"

#include <thread>

#include "frame/image.h"
#include "frame/render.h"
#include "scene/scene.h"
#include "tracer/path_tracer.h"

namespace {

void renderCounted(int first, int end, std::uint64_t& segments) {
    const std::uint64_t before = tracedSegments();
    render(first, end);
    segments = tracedSegments() - before;
}

} // namespace

FrameStats traceFrame(FrameMode mode) {
    ++gSamples;
    precalcFrame(gRayOrigin);
    std::uint64_t top = 0;
    std::uint64_t bottom = 0;
    const auto start = std::chrono::steady_clock::now();
    if (mode == FrameMode::TwoWorkers) {
        std::thread a(renderCounted, 0, kBandSplitRow, std::ref(top));
        std::thread b(renderCounted, kBandSplitRow, kHeight, std::ref(bottom));
        a.join();
        b.join();
    } else {
        renderCounted(0, kBandSplitRow, top);
        renderCounted(kBandSplitRow, kHeight, bottom);
    }
    const auto stop = std::chrono::steady_clock::now();
    return {stop - start, top + bottom};
}

std::string tracingTimeLine(std::chrono::nanoseconds tracing) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(tracing).count();
    return "Tracing time: " + std::to_string(ms) + " ms.";
}
