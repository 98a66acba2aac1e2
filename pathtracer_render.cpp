// SPDX-License-Identifier: MIT
// pathtracer-render: the scene traced without a window, to time frames or save the picture.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

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
#include "headless/quoted.h"
#include "headless/render_state.h"
#include "headless/safe_file.h"
#include "headless/signals_held.h"
#include "headless/spare_descriptors.h"
#include "headless/spare_memory.h"
#include "scene/scene.h"
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

// The progress line while frames are traced, taken away before any message.
Progress* gProgress = nullptr;
// Where messages wait while the final files are saved, so that none blocks them on a standard
// error nobody reads (a pipe to a pager that is not scrolled).
std::vector<std::string>* gHeldMessages = nullptr;

// A message on standard error, after the program's name.
void tell(const std::string& message) {
    if (gHeldMessages != nullptr) {
        gHeldMessages->push_back(message);
        return;
    }
    if (gProgress != nullptr) {
        gProgress->beforeMessage();
    }
    std::cerr << "pathtracer-render: " << message << "\n";
}

// A standard stream that was closed at start is opened on /dev/null for reading only: no file
// the program opens takes its number, and writing to it fails as writing to a closed one does.
void keepStandardStreamsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = open("/dev/null", O_RDONLY);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}

// Why a line could not be written to standard output, taken when the first one failed.
int gOutputError = 0;
bool gOutputErrorTold = false;

void noteOutputError() {
    if (errno == EINTR && stopSignal() != 0 && (std::ferror(stdout) || !std::cout.good())) {
        // A line that waited on a reader (a pager not scrolled) when the stop signal came: not
        // an output that failed. The line is given up.
        std::clearerr(stdout);
        std::cout.clear();
        return;
    }
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
        tell("cannot write to standard output: " + std::string(std::strerror(gOutputError)));
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

std::string saveSummary(const OutputFile& file, const FrameTimes& times, std::uint64_t segments,
                        int retraced, bool sequential, std::string* notice) {
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
        {"retraced_frames", retraced},
        {"cpu_model", cpu.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(cpu)},
    };
    // (A processor name that is not UTF-8, as a virtual machine may give, is kept with its
    // invalid bytes replaced.)
    const std::string text =
        summary.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    return writeFileSafely(
        file,
        [&](std::FILE* stream) {
            return std::fwrite(text.data(), 1, text.size(), stream) == text.size();
        },
        notice);
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

// A run of the renderer in progress: what it was asked for and what it has done.
struct RenderRun {
    RenderOptions options;
    FrameTimes times;
    std::uint64_t segments = 0;
    int retraced = 0;    // two-worker frames whose plan missed (frame.h)
    bool capped = false; // stopped because every pixel holds the most samples a render takes
    // The files to write, each held in the folder it was found in before the first frame.
    OutputFile output{""}, checkpoint{""}, json{""};
    std::vector<std::uint32_t> picture; // the 8-bit picture's words, had before the first frame
    // Memory and descriptors set aside before the first frame and given back just before the
    // final saves, so that a render that ran short of them on the way still has what they need.
    SpareMemory memory;
    SpareDescriptors descriptors;
};

// What a save needs open at once beyond the folders held (measured: three, with a low
// `ulimit -n`): the working folder to come back to, the temporary file and its stream's copy,
// or the folder synced; one more for a library's own.
constexpr int kFinalSaveDescriptors = 4;

// More than the final saves take at once beyond the picture's words: an OpenEXR picture's floats
// and its encoder's buffers, a checkpoint's copy of the sums and its bytes (3.7 MB each).
constexpr std::size_t kFinalSaveReserve = 16u << 20;

// What the final saves wrote and what they could not, for the last message: "picture",
// "checkpoint", "summary".
struct Saves {
    std::vector<std::string> written, failed;
    bool wrote(const std::string& what) const {
        return std::find(written.begin(), written.end(), what) != written.end();
    }
};

std::string savePicture(const RenderRun& run, std::vector<std::uint32_t>& words,
                        std::string* notice) {
    const RenderOptions& options = run.options;
    if (imageFormatOf(options.output) == ImageFormat::Exr) {
        ExrAttributes attributes;
        attributes.software = "pathtracer-render " PATHTRACER_VERSION;
        attributes.frames = gSamples;
        attributes.mode = modeName(options.sequential);
        attributes.instructionSet = instructionSet();
        return saveExr(run.output, meanPicture(), kWidth, kHeight, attributes, notice);
    }
    for (int i = 0; i < kPixelCount; ++i) {
        words[i] = meanPixelWord(i);
    }
    return saveImage(run.output, words, kWidth, kHeight, notice);
}

// The command line read and checked: -1 to go on, else the status to end with.
int readOptions(int argc, char** argv, RenderOptions& options) {
    const ParsedOptions parsed = parseRenderOptions(argc, argv);
    if (!parsed.error.empty()) {
        tell(parsed.error + " (see --help)");
        return 2;
    }
    options = parsed.options;
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
        tell("no instruction set " + quotedName(options.simd) + " here; this build and CPU have " +
             known + " (see --help)");
        return 2;
    }
    if (imageFormatOf(options.output) == ImageFormat::Exr && !exrSupported()) {
        tell("cannot save " + quotedName(options.output) + ": this build has no OpenEXR support");
        return 1;
    }
    return -1;
}

// Every file the run will write, checked before any frame: that it can be written as it will
// be at the end, that no two outputs lead to one file, and that none but the checkpoint is the
// one --resume reads. Each is then held where it was found, and the descriptors the final saves
// need are set aside. 0, or the status to end with.
int checkOutputs(RenderRun& run) {
    const RenderOptions& options = run.options;
    const std::tuple<const char*, const std::string*, OutputFile*> outputs[] = {
        {"--output", &options.output, &run.output},
        {"--checkpoint", &options.checkpoint, &run.checkpoint},
        {"--json", &options.json, &run.json}};
    std::vector<std::pair<const char*, OutputPlace>> places;
    const std::string resumed = options.resume.empty() ? "" : fileIdentity(options.resume);
    for (const auto& [option, name, file] : outputs) {
        if (name->empty()) {
            continue;
        }
        OutputPlace place;
        const std::string error = findOutputPlace(*name, place);
        if (!error.empty()) {
            tell(error);
            return 1;
        }
        // The checkpoint read is an input: only --checkpoint may write it again.
        if (!resumed.empty() && place.identity == resumed && name != &options.checkpoint) {
            tell(std::string(option) + " leads to the checkpoint --resume reads (" +
                 quotedName(*name) + "): only --checkpoint may write it");
            return 2;
        }
        for (const auto& [other, earlier] : places) {
            if (earlier.identity == place.identity) {
                tell(std::string(other) + " and " + option + " lead to the same file (" +
                     quotedName(*name) + "): each output needs its own");
                return 2;
            }
        }
        places.emplace_back(option, place);
        *file = OutputFile(*name, place);
    }
    if (!places.empty()) {
        if (const int reason = run.descriptors.take(kFinalSaveDescriptors); reason != 0) {
            tell("cannot keep open the files the final saves need: " +
                 std::string(std::strerror(reason)) + " (see ulimit -n)");
            return 1;
        }
    }
    return 0;
}

// Carries the render on from the checkpoint --resume names, in its mode; after initShapes. An
// error message, with nothing changed, if it cannot be.
std::string resumeRender(RenderOptions& options) {
    Checkpoint c;
    const std::string error = readCheckpoint(options.resume, renderCheckpointLimits(), c);
    if (!error.empty()) {
        return error;
    }
    if (options.modeGiven && c.sequential != options.sequential) {
        return "checkpoint " + quotedName(options.resume) +
               " is of a two-worker render: resume it without --sequential";
    }
    options.sequential = c.sequential;
    restoreCheckpoint(c);
    return {};
}

enum class Saving { CheckpointOnly, Everything };

// The one way files are saved, every so often (the checkpoint) and at the end (all of them):
// each written whole, what went wrong told. A save that runs out of memory, or fails in any other
// way, is a failed save like any other: the render goes on, and the file written before stays.
Saves saveOutputs(RenderRun& run, Saving what) {
    const RenderOptions& options = run.options;
    Saves saves;
    const auto save = [&](const char* what, const std::string& name,
                          const std::function<std::string(std::string*)>& write) {
        std::string notice;
        std::string error;
        try {
            error = write(&notice);
        } catch (const std::bad_alloc&) {
            error = "cannot write " + quotedName(name) + ": " + std::strerror(ENOMEM);
        } catch (const std::exception& e) {
            error = "cannot write " + quotedName(name) + ": " + e.what();
        }
        if (!notice.empty()) {
            tell(notice);
        }
        if (!error.empty()) {
            tell(error);
        }
        (error.empty() ? saves.written : saves.failed).emplace_back(what);
    };
    const bool everything = what == Saving::Everything;
    if (everything && !options.output.empty() && gSamples > 0) {
        save("picture", options.output,
             [&](std::string* notice) { return savePicture(run, run.picture, notice); });
    }
    if (!options.checkpoint.empty()) {
        save("checkpoint", options.checkpoint, [&](std::string* notice) {
            return writeCheckpoint(run.checkpoint, currentCheckpoint(options.sequential),
                                   notice);
        });
    }
    if (everything && !options.json.empty()) {
        save("summary", options.json, [&](std::string* notice) {
            return saveSummary(run.json, run.times, run.segments, run.retraced,
                               options.sequential, notice);
        });
    }
    return saves;
}

// Traces the frames asked for, until a stop signal, an output line that cannot be written or
// the most samples a render takes; saves the checkpoint every --checkpoint-every minutes.
void traceFrames(RenderRun& run) {
    const RenderOptions& options = run.options;
    const FrameMode mode = options.sequential ? FrameMode::Sequential : FrameMode::TwoWorkers;
    Progress progress(options.frames);
    // Messages take the line away while it is shown (a failed frame included).
    struct Shown {
        explicit Shown(Progress& p) { gProgress = &p; }
        ~Shown() { gProgress = nullptr; }
    } shown(progress);
    const auto every =
        std::chrono::duration<double, std::ratio<60>>(options.checkpointEveryMinutes);
    auto lastCheckpoint = std::chrono::steady_clock::now();
    for (int i = 0; i < options.frames && stopSignal() == 0 && gOutputError == 0; ++i) {
        if (gSamples >= kMaxSamples) {
            run.capped = true;
            break;
        }
        const FrameStats frame = traceFrame(mode);
        run.times.add(frame.tracing);
        run.segments += frame.segments;
        run.retraced += frame.retraced ? 1 : 0;
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
            run.descriptors.giveBack();
            saveOutputs(run, Saving::CheckpointOnly);
            run.descriptors.take(kFinalSaveDescriptors);
        }
    }
    progress.finish();
}

// What the files saved at the end hold, for the line that says why the render ended early.
std::string whatWasKept(const RenderOptions& options, const Saves& saves) {
    const bool picture = saves.wrote("picture"), checkpoint = saves.wrote("checkpoint");
    return picture && checkpoint ? "; the picture and checkpoint saved hold those frames"
           : picture             ? "; the picture saved holds those frames"
           : checkpoint          ? "; the checkpoint saved holds those frames"
           : !options.output.empty() && gSamples == 0 ? "; no frame to save"
                                                      : "";
}

// Why the render ended early where it did, told once the files are saved, and which were not.
void report(const RenderRun& run, const Saves& saves) {
    const RenderOptions& options = run.options;
    const std::uint64_t traced = run.times.count();
    const std::string counted =
        std::to_string(traced) + " of " + std::to_string(options.frames) + " frames";
    const std::string kept = whatWasKept(options, saves);
    if (run.capped) {
        tell("every pixel holds " + std::to_string(kMaxSamples) +
             " samples, the most a render takes: traced " + counted);
    } else if (traced < static_cast<std::uint64_t>(options.frames) && gOutputError != 0) {
        tell("cannot write to standard output: " + std::string(std::strerror(gOutputError)) +
             "; stopped after " + counted + kept);
        gOutputErrorTold = true;
    } else if (traced < static_cast<std::uint64_t>(options.frames) && stopSignal() != 0) {
        tell("interrupted by " + std::string(signalName(stopSignal())) + " after " + counted +
             kept);
    }
    if (!saves.failed.empty()) {
        std::string unsaved;
        for (std::size_t i = 0; i < saves.failed.size(); ++i) {
            unsaved += (i == 0 ? "" : i + 1 == saves.failed.size() ? " and " : ", ") +
                       saves.failed[i];
        }
        tell("not saved: the " + unsaved);
    }
}

// The final saves, and the lines that say what they hold. Every signal waits while a file is
// replaced, and a second stop signal interrupts a wait on another process (a FIFO's reader)
// rather than ending the program: it must not end it between two files. What the saves have to
// say waits until all are done, so that none waits on a standard error nobody reads.
Saves saveAtTheEnd(RenderRun& run) {
    secondStopInterrupts(true);
    Saves saves;
    std::vector<std::string> messages;
    {
        const SignalsHeld held;
        run.memory.giveBack();
        run.descriptors.giveBack();
        gHeldMessages = &messages;
        saves = saveOutputs(run, Saving::Everything);
        gHeldMessages = nullptr;
    }
    secondStopInterrupts(false);
    for (const std::string& message : messages) {
        tell(message);
    }
    report(run, saves);
    return saves;
}

// The summary line, written before the final saves, or after them once a stop signal has come:
// then nothing may wait on standard output (a pager not scrolled) before the files are safe.
void summarise(const RenderRun& run) {
    printSummary(run.times, run.segments, run.options.sequential);
    noteOutputError();
}

int renderAndSave(int argc, char** argv) {
    keepStandardStreamsOpen();
    RenderRun run;
    const int status = readOptions(argc, argv, run.options);
    if (status >= 0) {
        return status;
    }
    if (const int refused = checkOutputs(run); refused != 0) {
        return refused;
    }
    // Ctrl-C, SIGTERM or SIGHUP: the frame being traced is finished and the picture and
    // checkpoint of the frames done so far are kept; a second one ends the program at once
    // (once the file being replaced, if any, is whole). Past a file-size limit (ulimit -f) a
    // write fails with a message like any other; a standard output that is closed (a pipe whose
    // reader is gone) ends the run as a stop signal does.
    catchStopSignals(true, true);
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        initShapes();
        clearImage();
        if (!run.options.resume.empty()) {
            const std::string error = resumeRender(run.options);
            if (!error.empty()) {
                tell(error);
                return 1;
            }
        }
        run.picture.resize(run.options.output.empty() ? 0 : kPixelCount);
        if (!run.memory.take(kFinalSaveReserve)) {
            throw std::bad_alloc();
        }
        traceFrames(run);
    } catch (...) {
        tell(frameFailure());
        return 1;
    }
    const bool stopped = stopSignal() != 0;
    if (!stopped) {
        summarise(run);
    }
    const Saves saves = saveAtTheEnd(run);
    if (stopped) {
        summarise(run);
    }
    if (!saves.failed.empty()) {
        return afterOutput(1);
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
        return renderAndSave(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("pathtracer-render: out of memory\n", stderr);
        return 1;
    }
}
