// SPDX-License-Identifier: MIT
// pathtracer-render: the scene traced without a window, to time frames or save the picture.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/display.h"
#include "frame/frame.h"
#include "frame/image.h"
#include "frame/stop_signals.h"
#include "headless/checkpoint.h"
#include "headless/exr_file.h"
#include "headless/frame_times.h"
#include "headless/image_file.h"
#include "headless/options.h"
#include "headless/progress.h"
#include "headless/safe_file.h"
#include "scene/scene.h"
#include "tracer/bounce_table.h"
#include "tracer/fast_paths.h"

namespace {

// How the frames are traced, as the summary, the JSON summary and an OpenEXR header name it.
const char* modeName(bool sequential) {
    return sequential ? "sequential" : "two workers";
}

void printSummary(const FrameTimes& times, std::uint64_t segments, bool sequential) {
    const double seconds = times.totalSeconds();
    const double rate = seconds > 0.0 ? static_cast<double>(segments) / seconds / 1e6 : 0.0;
    const std::uint64_t n = times.count();
    std::printf("Traced %llu frame%s (%s, %s): median %.2f ms, fastest %.2f ms, "
                "%.1f million path segments per second.\n",
                static_cast<unsigned long long>(n), n == 1 ? "" : "s",
                // which instruction set traced, for comparing them
                modeName(sequential), instructionSet().c_str(), times.medianMs(), times.fastestMs(),
                rate);
    std::fflush(stdout);
}

// Why a line could not be written to standard output, taken when the first one failed.
int gOutputError = 0;
bool gOutputErrorTold = false;

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
    if (!gOutputErrorTold) {
        std::cerr << "pathtracer-render: cannot write to standard output: "
                  << std::strerror(gOutputError) << "\n";
    }
    return status == 0 ? 1 : status;
}

const char* signalName(int signal) {
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    }
    return "a signal";
}

// The processor's model as the system names it, or an empty string.
std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        if (key == "model name" || key == "Processor" || key == "cpu model" || key == "cpu") {
            const auto start = line.find_first_not_of(" \t", colon + 1);
            return start == std::string::npos ? std::string() : line.substr(start);
        }
    }
    return {};
}

std::string saveSummary(const std::string& path, const FrameTimes& times, std::uint64_t segments,
                        bool sequential) {
    const double seconds = times.totalSeconds();
    const std::string cpu = cpuModel();
    const nlohmann::ordered_json summary = {
        {"program", "pathtracer-render"},
        {"version", PATHTRACER_VERSION},
        {"frames", times.count()},
        {"total_frames", gSamples},
        {"mode", modeName(sequential)},
        {"instruction_set", instructionSet()},
        {"median_ms", times.medianMs()},
        {"fastest_ms", times.fastestMs()},
        {"mean_ms", times.meanMs()},
        {"slowest_ms", times.slowestMs()},
        {"path_segments_per_second", seconds > 0.0 ? static_cast<double>(segments) / seconds : 0.0},
        {"cpu_model", cpu.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(cpu)},
    };
    const std::string text = summary.dump(2) + "\n";
    return writeFileSafely(path, [&](std::FILE* file) {
        return std::fwrite(text.data(), 1, text.size(), file) == text.size();
    });
}

// The render as it stands, for a checkpoint.
Checkpoint currentCheckpoint(bool sequential) {
    Checkpoint c;
    c.width = kWidth;
    c.height = kHeight;
    c.sequential = sequential;
    c.frames = static_cast<std::uint64_t>(gSamples);
    const DrawState draws = drawState();
    c.generator = draws.generator;
    c.topDraws = draws.top;
    c.bottomDraws = draws.bottom;
    c.sums.resize(3 * static_cast<std::size_t>(kPixelCount));
    for (int i = 0; i < kPixelCount; ++i) {
        c.sums[3 * i + 0] = gAccumColor1[i].x;
        c.sums[3 * i + 1] = gAccumColor1[i].y;
        c.sums[3 * i + 2] = gAccumColor1[i].z;
    }
    return c;
}

// Carries the render on from the checkpoint at `path`, after initShapes; an error message if it
// cannot be, with nothing changed.
std::string resumeFrom(const std::string& path, bool sequential) {
    Checkpoint c;
    std::string error = readCheckpoint(path, c);
    if (!error.empty()) {
        return error;
    }
    const std::string named = "checkpoint '" + path + "'";
    if (c.width != kWidth || c.height != kHeight) {
        return named + " is of a " + std::to_string(c.width) + "x" + std::to_string(c.height) +
               " picture, not " + std::to_string(kWidth) + "x" + std::to_string(kHeight);
    }
    if (c.sequential != sequential) {
        return named + (c.sequential ? " is of a sequential render: resume it with --sequential"
                                     : " is of a two-worker render: resume it without "
                                       "--sequential");
    }
    if (c.frames > static_cast<std::uint64_t>(kMaxSamples)) {
        return named + " holds " + std::to_string(c.frames) +
               " frames, more than a render takes (" + std::to_string(kMaxSamples) + ")";
    }
    for (const auto* draws : {&c.topDraws, &c.bottomDraws}) {
        for (const std::uint16_t d : *draws) {
            if (d >= 1000 || gBounceTable.rejected[d]) {
                return named + " holds a bounce no render draws (" + std::to_string(d) + ")";
            }
        }
    }
    for (int i = 0; i < kPixelCount; ++i) {
        gAccumColor1[i] = makeVec3(c.sums[3 * i], c.sums[3 * i + 1], c.sums[3 * i + 2]);
    }
    gSamples = static_cast<int>(c.frames);
    setDrawState({c.generator, c.topDraws, c.bottomDraws});
    return {};
}

// The running mean of every pixel as linear RGB, three floats a pixel.
std::vector<float> meanPicture() {
    std::vector<float> rgb(3 * static_cast<std::size_t>(kPixelCount));
    for (int i = 0; i < kPixelCount; ++i) {
        const Vec3 mean = meanPixel(i);
        rgb[3 * i + 0] = mean.x;
        rgb[3 * i + 1] = mean.y;
        rgb[3 * i + 2] = mean.z;
    }
    return rgb;
}

std::string savePicture(const RenderOptions& options, std::vector<std::uint32_t>& words) {
    if (imageFormatOf(options.output) == ImageFormat::Exr) {
        ExrAttributes attributes;
        attributes.software = "pathtracer-render " PATHTRACER_VERSION;
        attributes.frames = gSamples;
        attributes.mode = modeName(options.sequential);
        attributes.instructionSet = instructionSet();
        return saveExr(options.output, meanPicture(), kWidth, kHeight, attributes);
    }
    for (int i = 0; i < kPixelCount; ++i) {
        words[i] = meanPixelWord(i);
    }
    return saveImage(options.output, words, kWidth, kHeight);
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

    if (imageFormatOf(options.output) == ImageFormat::Exr && !exrSupported()) {
        std::cerr << "pathtracer-render: cannot save '" << options.output
                  << "': this build has no OpenEXR support\n";
        return 1;
    }
    // Every file the run will write can be: told before any frame.
    for (const std::string* file : {&options.output, &options.checkpoint, &options.json}) {
        const std::string error = file->empty() ? std::string() : checkWritable(*file);
        if (!error.empty()) {
            std::cerr << "pathtracer-render: " << error << "\n";
            return 1;
        }
    }

    // Ctrl-C, SIGTERM or SIGHUP: the frame being traced is finished and the picture and
    // checkpoint of the frames done so far are kept; a second one ends the program at once.
    catchStopSignals(true, true);
    // Past a file-size limit (ulimit -f) a write then fails with a message like any other write
    // error, instead of the signal ending the program with a partial file left; a standard output
    // that is closed (a pipe whose reader is gone) ends the run as a stop signal does.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    const FrameMode mode = options.sequential ? FrameMode::Sequential : FrameMode::TwoWorkers;
    FrameTimes times;
    std::uint64_t segments = 0;
    std::vector<std::uint32_t> picture;
    try {
        initShapes();
        clearImage();
        if (!options.resume.empty()) {
            const std::string error = resumeFrom(options.resume, options.sequential);
            if (!error.empty()) {
                std::cerr << "pathtracer-render: " << error << "\n";
                return 1;
            }
        }
        // Had before the first frame, so that a picture that cannot be held is told at once.
        picture.resize(options.output.empty() ? 0 : kPixelCount);
        Progress progress(options.frames);
        const auto every =
            std::chrono::duration<double, std::ratio<60>>(options.checkpointEveryMinutes);
        auto lastCheckpoint = std::chrono::steady_clock::now();
        for (int i = 0; i < options.frames && stopSignal() == 0 && gOutputError == 0; ++i) {
            const FrameStats frame = traceFrame(mode);
            times.add(frame.tracing);
            segments += frame.segments;
            if (!options.quiet) {
                progress.beforeOutput();
                std::cout << tracingTimeLine(frame.tracing) << std::endl;
                noteOutputError();
            }
            progress.update(i + 1);
            const auto now = std::chrono::steady_clock::now();
            if (!options.checkpoint.empty() && options.checkpointEveryMinutes > 0.0 &&
                i + 1 < options.frames && now - lastCheckpoint >= every) {
                lastCheckpoint = now;
                const std::string checkpointError =
                    writeCheckpoint(options.checkpoint, currentCheckpoint(options.sequential));
                if (!checkpointError.empty()) {
                    progress.beforeOutput();
                    std::cerr << "pathtracer-render: " << checkpointError << "\n";
                }
            }
        }
        progress.finish();
    } catch (...) {
        std::cerr << "pathtracer-render: " << frameFailure() << "\n";
        return 1;
    }
    printSummary(times, segments, options.sequential);
    const int signal = stopSignal();
    const bool unfinished = times.count() < static_cast<std::uint64_t>(options.frames);
    const bool save = !options.output.empty() && gSamples > 0;
    const char* kept = save && !options.checkpoint.empty()
                           ? "; the picture and checkpoint saved hold those frames"
                       : save                        ? "; the picture saved holds those frames"
                       : !options.checkpoint.empty() ? "; the checkpoint saved holds those frames"
                       : options.output.empty()      ? ""
                                                     : "; no frame to save";
    if (unfinished && gOutputError != 0) {
        std::cerr << "pathtracer-render: cannot write to standard output: "
                  << std::strerror(gOutputError) << "; stopped after " << times.count() << " of "
                  << options.frames << " frames" << kept << "\n";
        gOutputErrorTold = true;
    } else if (unfinished && signal != 0) {
        std::cerr << "pathtracer-render: interrupted by " << signalName(signal) << " after "
                  << times.count() << " of " << options.frames << " frames" << kept << "\n";
    }

    // A second stop signal, or any other that would end the program, waits until every file is
    // whole and in place.
    sigset_t stops;
    sigfillset(&stops);
    sigset_t before;
    sigprocmask(SIG_BLOCK, &stops, &before);
    std::vector<std::string> errors;
    if (save) {
        errors.push_back(savePicture(options, picture));
    }
    if (!options.checkpoint.empty()) {
        errors.push_back(
            writeCheckpoint(options.checkpoint, currentCheckpoint(options.sequential)));
    }
    if (!options.json.empty()) {
        errors.push_back(saveSummary(options.json, times, segments, options.sequential));
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    bool failed = false;
    for (const std::string& error : errors) {
        if (!error.empty()) {
            std::cerr << "pathtracer-render: " << error << "\n";
            failed = true;
        }
    }
    if (failed) {
        return 1;
    }
    // As a shell reports a program ended by the signal (one that came while the files were
    // being saved included).
    const int ended = stopSignal();
    return afterOutput(ended != 0 ? 128 + ended : 0);
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
