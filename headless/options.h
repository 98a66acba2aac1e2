// SPDX-License-Identifier: MIT
#pragma once

#include <string>

struct RenderOptions {
    int frames = 16;
    bool sequential = false;
    std::string output; // empty: no picture is written
    std::string simd;   // instruction set to trace with; empty: the widest the CPU has
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    RenderOptions options;
    std::string error; // empty when the command line is valid
};

ParsedOptions parseRenderOptions(int argc, const char* const* argv);

// The usage text printed by --help.
std::string renderUsage();
