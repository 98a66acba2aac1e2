// pathtracer-render: the scene traced without a window, to time frames or save the picture.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <vector>

#include "frame/display.h"
#include "frame/frame.h"
#include "frame/image.h"
#include "headless/image_file.h"
#include "headless/options.h"
#include "scene/scene.h"

namespace {

double milliseconds(std::chrono::nanoseconds d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

void printSummary(const std::vector<FrameStats>& frames, bool sequential) {
    std::vector<double> times;
    double totalSeconds = 0.0;
    double segments = 0.0;
    for (const FrameStats& f : frames) {
        times.push_back(milliseconds(f.tracing));
        totalSeconds += milliseconds(f.tracing) / 1000.0;
        segments += static_cast<double>(f.segments);
    }
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    const double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2.0;
    const double rate = totalSeconds > 0.0 ? segments / totalSeconds / 1e6 : 0.0;
    std::printf("Traced %zu frame%s (%s): median %.2f ms, fastest %.2f ms, "
                "%.1f million path segments per second.\n",
                n, n == 1 ? "" : "s", sequential ? "sequential" : "two workers", median,
                times.front(), rate);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseRenderOptions(argc, argv);
    if (!parsed.error.empty()) {
        std::cerr << "pathtracer-render: " << parsed.error << " (see --help)\n";
        return 2;
    }
    const RenderOptions& options = parsed.options;
    if (options.help) {
        std::cout << renderUsage();
        return 0;
    }

    if (!options.output.empty()) {
        const std::string error = checkWritable(options.output);
        if (!error.empty()) {
            std::cerr << "pathtracer-render: " << error << "\n";
            return 1;
        }
    }

    initShapes();
    clearImage();
    const FrameMode mode = options.sequential ? FrameMode::Sequential : FrameMode::TwoWorkers;
    std::vector<FrameStats> frames;
    frames.reserve(static_cast<std::size_t>(std::min(options.frames, 1 << 20)));
    for (int i = 0; i < options.frames; ++i) {
        frames.push_back(traceFrame(mode));
        std::cout << tracingTimeLine(frames.back().tracing) << std::endl;
    }
    printSummary(frames, options.sequential);

    if (!options.output.empty()) {
        std::vector<std::uint32_t> picture(kPixelCount);
        for (int i = 0; i < kPixelCount; ++i) {
            picture[i] = meanPixelWord(i);
        }
        const std::string error = saveImage(options.output, picture, kWidth, kHeight);
        if (!error.empty()) {
            std::cerr << "pathtracer-render: " << error << "\n";
            return 1;
        }
    }
    return 0;
}
