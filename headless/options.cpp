// SPDX-License-Identifier: MIT
#include "headless/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "headless/image_file.h"

namespace {

bool parseFrameCount(const std::string& text, int& frames) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false; // no sign, no blanks: a plain whole number
    }
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > INT_MAX) {
        return false;
    }
    frames = static_cast<int>(value);
    return true;
}

bool parseMinutes(const std::string& text, double& minutes) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(value >= 0.0 && value <= 1e6)) {
        return false;
    }
    minutes = value;
    return true;
}

} // namespace

std::string renderUsage() {
    return "Usage: pathtracer-render [--frames N] [--sequential] [--output FILE] [--simd NAME]\n"
           "                         [--checkpoint FILE [--checkpoint-every MINUTES]]\n"
           "                         [--resume FILE] [--json FILE] [--quiet]\n"
           "Traces the scene headless and reports each frame's tracing time.\n"
           "  --frames N     frames to trace, from 1 to 2147483647 (default 16)\n"
           "  --sequential   trace the top band, then the bottom band, on one thread:\n"
           "                 the same picture on every run\n"
           "  --output FILE  after the last frame, save the picture (.ppm or .png, 8 bits;\n"
           "                 .exr, the running mean as 32-bit floats)\n"
           "  --simd NAME    trace with the named instruction set instead of the widest this\n"
           "                 CPU has (the same picture; see the summary line for the one used)\n"
           "  --checkpoint FILE\n"
           "                 save what the render needs to carry on: at the end, when stopped,\n"
           "                 and every --checkpoint-every MINUTES (default 10; 0: not between)\n"
           "  --resume FILE  carry on from a checkpoint, with N more frames\n"
           "  --json FILE    save the summary as JSON\n"
           "  --quiet        no line per frame (the summary stays)\n"
           "  --version      show the version\n"
           "  --help         show this text\n";
}

ParsedOptions parseRenderOptions(int argc, const char* const* argv) {
    ParsedOptions parsed;
    RenderOptions& options = parsed.options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        std::string name = arg;
        // Accept both "--name value" and "--name=value".
        const auto equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        const bool takesValue = name == "--frames" || name == "--output" || name == "--simd" ||
                                name == "--checkpoint" || name == "--checkpoint-every" ||
                                name == "--resume" || name == "--json";
        if (takesValue && !hasValue) {
            if (i + 1 >= argc) {
                parsed.error = name + " needs a value";
                return parsed;
            }
            value = argv[++i];
        } else if (!takesValue && hasValue) {
            parsed.error = "unknown option '" + arg + "'";
            return parsed;
        }

        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--version") {
            options.version = true;
        } else if (name == "--sequential") {
            options.sequential = true;
        } else if (name == "--frames") {
            if (!parseFrameCount(value, options.frames)) {
                parsed.error = "--frames needs a whole number from 1 to " +
                               std::to_string(INT_MAX) + ", not '" + value + "'";
                return parsed;
            }
        } else if (name == "--simd") {
            if (value.empty()) {
                parsed.error = "--simd needs the name of an instruction set";
                return parsed;
            }
            options.simd = value;
        } else if (name == "--output") {
            if (imageFormatOf(value) == ImageFormat::Unknown) {
                parsed.error =
                    "cannot save '" + value + "': the name must end in .ppm, .png or .exr";
                return parsed;
            }
            options.output = value;
        } else if (name == "--quiet") {
            options.quiet = true;
        } else if (name == "--checkpoint-every") {
            if (!parseMinutes(value, options.checkpointEveryMinutes)) {
                parsed.error = "--checkpoint-every needs a number of minutes from 0 to 1000000, "
                               "not '" +
                               value + "'";
                return parsed;
            }
        } else if (name == "--checkpoint" || name == "--resume" || name == "--json") {
            if (value.empty()) {
                parsed.error = name + " needs a file name";
                return parsed;
            }
            (name == "--checkpoint" ? options.checkpoint
             : name == "--resume"   ? options.resume
                                    : options.json) = value;
        } else {
            parsed.error = "unknown option '" + arg + "'";
            return parsed;
        }
    }
    return parsed;
}
