// SPDX-License-Identifier: MIT
#include "headless/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "headless/image_file.h"
#include "headless/quoted.h"

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

// Minutes as a plain decimal number ("10", "0.5", ".5"): no sign, exponent or hexadecimal.
bool parseMinutes(const std::string& text, double& minutes) {
    const auto digits = text.find_first_not_of("0123456789");
    const bool plain =
        digits == std::string::npos ||
        (text[digits] == '.' &&
         text.find_first_not_of("0123456789", digits + 1) == std::string::npos && text.size() > 1);
    if (text.empty() || !plain) {
        return false;
    }
    errno = 0;
    const double value = std::strtod(text.c_str(), nullptr);
    if (errno != 0 || !(value >= 0.0 && value <= 1e6)) {
        return false;
    }
    minutes = value;
    return true;
}

using Setter = std::string (*)(RenderOptions&, const std::string& value);

// Every option: its name, whether it takes a value, and what it sets (an error message, or an
// empty string).
struct Option {
    const char* name;
    bool takesValue;
    Setter set;
};

std::string fileName(const char* option, const std::string& value, std::string& into) {
    if (value.empty()) {
        return std::string(option) + " needs a file name";
    }
    into = value;
    return {};
}

// What an option without a value sets.
template <bool RenderOptions::*Flag>
std::string setFlag(RenderOptions& options, const std::string&) {
    options.*Flag = true;
    return {};
}

const Option kOptions[] = {
    {"--help", false, setFlag<&RenderOptions::help>},
    {"-h", false, setFlag<&RenderOptions::help>},
    {"--version", false, setFlag<&RenderOptions::version>},
    {"--quiet", false, setFlag<&RenderOptions::quiet>},
    {"--sequential", false,
     [](RenderOptions& o, const std::string&) {
         o.sequential = true;
         o.modeGiven = true;
         return std::string();
     }},
    {"--frames", true,
     [](RenderOptions& o, const std::string& v) {
         return parseFrameCount(v, o.frames)
                    ? std::string()
                    : "--frames needs a whole number from 1 to " + std::to_string(INT_MAX) +
                          ", not " + quotedName(v);
     }},
    {"--simd", true,
     [](RenderOptions& o, const std::string& v) {
         o.simd = v;
         return v.empty() ? std::string("--simd needs the name of an instruction set")
                          : std::string();
     }},
    {"--output", true,
     [](RenderOptions& o, const std::string& v) {
         if (imageFormatOf(v) == ImageFormat::Unknown) {
             return "cannot save " + quotedName(v) + ": the name must end in " + imageExtensions();
         }
         o.output = v;
         return std::string();
     }},
    {"--checkpoint-every", true,
     [](RenderOptions& o, const std::string& v) {
         return parseMinutes(v, o.checkpointEveryMinutes)
                    ? std::string()
                    : "--checkpoint-every needs a number of minutes from 0 to 1000000, not " +
                          quotedName(v);
     }},
    {"--checkpoint", true,
     [](RenderOptions& o, const std::string& v) {
         return fileName("--checkpoint", v, o.checkpoint);
     }},
    {"--resume", true,
     [](RenderOptions& o, const std::string& v) { return fileName("--resume", v, o.resume); }},
    {"--json", true,
     [](RenderOptions& o, const std::string& v) { return fileName("--json", v, o.json); }},
};

const Option* findOption(const std::string& name) {
    for (const Option& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// A word that reads as an option ("-" alone names standard output, a value like any other).
bool looksLikeOption(const std::string& word) {
    return word.size() > 1 && word[0] == '-';
}

} // namespace

std::string renderUsage() {
    return "Usage: pathtracer-render [--frames N] [--sequential] [--output FILE] [--simd NAME]\n"
           "                         [--checkpoint FILE [--checkpoint-every MINUTES]]\n"
           "                         [--resume FILE] [--json FILE] [--quiet]\n"
           "Traces the scene headless and reports each frame's tracing time.\n"
           "  --frames N     frames to trace, from 1 to 2147483647 (default 16); a picture\n"
           "                 takes at most 1048576 (2^20) frames in all, then stays as it is\n"
           "  --sequential   trace the top band, then the bottom band, on one thread:\n"
           "                 the same picture on every run\n"
           "  --output FILE  after the last frame, save the picture (" +
           imageExtensions(ImageFormats::EightBit) + ", 8 bits;\n                 " +
           imageExtensions(ImageFormats::Float) + ", the running mean as 32-bit floats)\n"
           "  --simd NAME    trace with the named instruction set instead of the widest this\n"
           "                 CPU has (the same picture; see the summary line for the one used)\n"
           "  --checkpoint FILE\n"
           "                 save what the render needs to carry on: at the end, when stopped,\n"
           "                 and every --checkpoint-every MINUTES (default 10; 0: not between)\n"
           "  --resume FILE  carry on from a checkpoint, with N more frames, in its mode\n"
           "  --json FILE    save the summary as JSON\n"
           "A FILE may be '-' (standard output), a FIFO or a device, written as it is; a\n"
           "regular file is replaced whole, keeping its owner, group, permissions and ACL\n"
           "but not its hard links or other extended attributes (another user's file that\n"
           "could not be given back is written in place). See FILES in the manual.\n"
           "  --quiet        no line per frame (the summary stays)\n"
           "  --version      show the version\n"
           "  --help         show this text\n";
}

ParsedOptions parseRenderOptions(int argc, const char* const* argv) {
    ParsedOptions parsed;
    RenderOptions& options = parsed.options;
    bool everyGiven = false;
    for (int i = 1; i < argc && parsed.error.empty(); ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            parsed.error = "'--' ends the options, but pathtracer-render takes no other arguments";
            break;
        }
        if (!looksLikeOption(arg)) {
            parsed.error =
                "unexpected argument " + quotedName(arg) + ": pathtracer-render takes options only";
            break;
        }
        // Both "--name value" and "--name=value".
        const auto equals = arg.find('=');
        const bool joined = arg.rfind("--", 0) == 0 && equals != std::string::npos;
        const std::string name = joined ? arg.substr(0, equals) : arg;
        const Option* option = findOption(name);
        if (option == nullptr || (joined && !option->takesValue)) {
            parsed.error = "unknown option " + quotedName(arg);
            break;
        }
        std::string value;
        if (joined) {
            value = arg.substr(equals + 1);
        } else if (option->takesValue) {
            if (i + 1 >= argc) {
                parsed.error = name + " needs a value";
                break;
            }
            value = argv[++i];
            if (looksLikeOption(value) && name != "--frames") {
                parsed.error = name + " needs a value, not the option " + quotedName(value) +
                               " (write " + quotedName(name + "=" + value) +
                               " for a value that begins with '-')";
                break;
            }
        }
        everyGiven = everyGiven || name == "--checkpoint-every";
        parsed.error = option->set(options, value);
    }
    if (parsed.error.empty() && everyGiven && options.checkpoint.empty()) {
        parsed.error = "--checkpoint-every needs --checkpoint FILE to save to";
    }
    return parsed;
}
