// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "headless/safe_file.h"

// Everything a render needs to carry on where it stopped: the per-pixel sums, the frame count,
// the mode, the random generator's state and the bounces taken from it but not yet used. The
// file is written in one byte order and with fixed-size fields, so that a checkpoint written on
// one machine resumes on any other to the same bytes; its layout is in
// docs/checkpoint-format.md.
struct Checkpoint {
    static constexpr std::uint32_t kVersion = 1;

    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool sequential = false;
    std::uint64_t frames = 0;
    std::array<std::uint32_t, 31> generator{}; // the last 31 words, oldest first
    std::vector<std::uint16_t> heldDraws;      // accepted bounce indices, in order of use
    std::vector<float> sums; // red, green, blue of each pixel, row-major
};

// Writes the checkpoint with writeFileSafely (never half-written). Returns an error message, or
// an empty string.
std::string writeCheckpoint(const OutputFile& file, const Checkpoint& checkpoint,
                            std::string* notice = nullptr);

// What a checkpoint of this program may hold: anything else is refused, and the sizes are
// checked before the body is read, so that no file makes the reader hold more than the largest
// real checkpoint.
struct CheckpointLimits {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint64_t mostFrames = 0;
    std::uint64_t mostHeldBounces = 0; // for each band
    std::function<bool(std::uint16_t)> bounceDrawn; // whether a render can hold this bounce
};

// Reads a checkpoint from a regular file (anything else is refused without being read), with
// the checks of parseCheckpoint; the header is checked against the file's size before the body
// is read. Returns an error message naming the problem, or an empty string.
std::string readCheckpoint(const std::string& path, const CheckpointLimits& limits,
                           Checkpoint& checkpoint);

// The checks of a whole checkpoint file's bytes, in the order docs/checkpoint-format.md gives,
// each with its own message naming `path`. Returns an error message, or an empty string with
// `checkpoint` filled.
std::string parseCheckpoint(const std::uint8_t* bytes, std::size_t size, const std::string& path,
                            const CheckpointLimits& limits, Checkpoint& checkpoint);
