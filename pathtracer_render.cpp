// SPDX-License-Identifier: MIT
// pathtracer-render: the scene traced without a window, to time frames or save the picture.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <vector>

#include "frame/display.h"
#include "frame/frame.h"
#include "frame/image.h"
#include "frame/stop_signals.h"
#include "headless/frame_times.h"
#include "headless/image_file.h"
#include "headless/options.h"
#include "scene/scene.h"
#include "tracer/fast_paths.h"

namespace {

void printSummary(const FrameTimes& times, std::uint64_t segments, bool sequential) {
    const double seconds = times.totalSeconds();
    const double rate = seconds > 0.0 ? static_cast<double>(segments) / seconds / 1e6 : 0.0;
    const std::uint64_t n = times.count();
    std::printf("Traced %llu frame%s (%s, %s): median %.2f ms, fastest %.2f ms, "
                "%.1f million path segments per second.\n",
                static_cast<unsigned long long>(n), n == 1 ? "" : "s",
                // which instruction set traced, for comparing them
                sequential ? "sequential" : "two workers", instructionSet().c_str(),
                times.medianMs(), times.fastestMs(), rate);
    std::fflush(stdout);
}

// Why a line could not be written to standard output, taken when the first one failed.
int gOutputError = 0;

void noteOutputError() {
    if (gOutputError == 0 && (std::ferror(stdout) || !std::cout.good())) {
        gOutputError = errno != 0 ? errno : EIO;
    }
}

// The status to end with once standard output is flushed: a run whose lines could not all be
// written (a full disk, a closed output) does not end as a success.
int afterOutput(int status) {
    if (std::fflush(stdout) != 0) {
        noteOutputError();
    }
    if (gOutputError == 0) {
        return status;
    }
    std::cerr << "pathtracer-render: cannot write to standard output: "
              << std::strerror(gOutputError) << "\n";
    return status == 0 ? 1 : status;
}

int run(int argc, char** argv) {
    const ParsedOptions parsed = parseRenderOptions(argc, argv);
    if (!parsed.error.empty()) {
        std::cerr << "pathtracer-render: " << parsed.error << " (see --help)\n";
        return 2;
    }
    const RenderOptions& options = parsed.options;
    if (options.help) {
        std::cout << renderUsage();
        return afterOutput(0);
    }
    if (options.version) {
        std::cout << "pathtracer-render " PATHTRACER_VERSION "\n";
        return afterOutput(0);
    }

    if (!options.simd.empty() && !useInstructionSet(options.simd)) {
        std::string known;
        for (const std::string& name : instructionSets()) {
            known += (known.empty() ? "" : ", ") + name;
        }
        std::cerr << "pathtracer-render: no instruction set '" << options.simd
                  << "' here; this build and CPU have " << known << " (see --help)\n";
        return 2;
    }

    if (!options.output.empty()) {
        const std::string error = checkWritable(options.output);
        if (!error.empty()) {
            std::cerr << "pathtracer-render: " << error << "\n";
            return 1;
        }
    }

    // Ctrl-C or SIGTERM: the frame being traced is finished and the picture of the frames done so
    // far is kept; a second one ends the program at once.
    catchStopSignals(true);
    // Past a file-size limit (ulimit -f) the picture's write then fails with a message like any
    // other write error, instead of the signal ending the program with a partial file left.
    std::signal(SIGXFSZ, SIG_IGN);
    const FrameMode mode = options.sequential ? FrameMode::Sequential : FrameMode::TwoWorkers;
    FrameTimes times;
    std::uint64_t segments = 0;
    std::vector<std::uint32_t> picture;
    try {
        initShapes();
        clearImage();
        // Had before the first frame, so that a picture that cannot be held is told at once.
        picture.resize(options.output.empty() ? 0 : kPixelCount);
        for (int i = 0; i < options.frames && stopSignal() == 0; ++i) {
            const FrameStats frame = traceFrame(mode);
            times.add(frame.tracing);
            segments += frame.segments;
            std::cout << tracingTimeLine(frame.tracing) << std::endl;
            noteOutputError();
        }
    } catch (...) {
        std::cerr << "pathtracer-render: " << frameFailure() << "\n";
        return 1;
    }
    printSummary(times, segments, options.sequential);
    const int signal = stopSignal();
    const bool interrupted =
        signal != 0 && times.count() < static_cast<std::uint64_t>(options.frames);
    const bool save = !options.output.empty() && times.count() > 0;
    if (interrupted) {
        std::cerr << "pathtracer-render: interrupted by "
                  << (signal == SIGINT ? "SIGINT" : "SIGTERM") << " after " << times.count()
                  << " of " << options.frames << " frames"
                  << (save                     ? "; the picture saved holds those frames"
                      : options.output.empty() ? ""
                                               : "; no frame to save")
                  << "\n";
    }

    if (save) {
        for (int i = 0; i < kPixelCount; ++i) {
            picture[i] = meanPixelWord(i);
        }
        // A second stop signal, or any other that would end the program (SIGHUP from a closed
        // terminal, say), waits until the picture is whole and in place.
        sigset_t stops;
        sigfillset(&stops);
        sigset_t before;
        sigprocmask(SIG_BLOCK, &stops, &before);
        const std::string error = saveImage(options.output, picture, kWidth, kHeight);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        if (!error.empty()) {
            std::cerr << "pathtracer-render: " << error << "\n";
            return 1;
        }
    }
    // As a shell reports a program ended by the signal.
    return afterOutput(interrupted ? 128 + signal : 0);
}

} // namespace

int main(int argc, char** argv) {
    // Memory can run out anywhere, also before the first frame or while the picture is saved.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("pathtracer-render: out of memory\n", stderr);
        return 1;
    }
}
