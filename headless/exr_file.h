// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include "headless/safe_file.h"

// What an OpenEXR picture says of the render it holds, as header attributes.
struct ExrAttributes {
    std::string software; // program and version
    int frames = 0;
    std::string mode;           // "sequential" or "two workers"
    std::string instructionSet; // as the summary names it
};

// Whether this build can save OpenEXR pictures.
bool exrSupported();

// Saves linear RGB values (three floats per pixel, row-major) as an OpenEXR picture of 32-bit
// float R, G and B channels with lossless ZIP compression, with writeFileSafely (`notice` as
// there). Returns an error message, or an empty string.
std::string saveExr(const OutputFile& file, const std::vector<float>& rgb, int width, int height,
                    const ExrAttributes& attributes, std::string* notice = nullptr);
