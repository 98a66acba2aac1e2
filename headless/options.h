// SPDX-License-Identifier: MIT
#pragma once

#include <string>

struct RenderOptions {
    int frames = 16;
    bool sequential = false;
    bool modeGiven = false; // --sequential given: a checkpoint resumed must be of that mode
    std::string output;     // empty: no picture is written
    std::string simd;       // instruction set to trace with; empty: the widest the CPU has
    std::string checkpoint; // empty: no checkpoint is written
    double checkpointEveryMinutes = 10.0; // 0: only at the end and when stopped
    std::string resume; // checkpoint to carry on from (its mode too); empty: a new render
    std::string json;                     // empty: no summary file
    bool quiet = false;                   // no per-frame lines
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
