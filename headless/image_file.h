// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "headless/safe_file.h"

enum class ImageFormat { Unknown, Ppm, Png, Exr };

// From the file name's extension (.ppm, .png or .exr, in any case).
ImageFormat imageFormatOf(const std::string& path);

// Saves 0x00RRGGBB words, row-major, as an 8-bit RGB picture, with writeFileSafely (never left
// half-written; links written through; permissions kept; `notice` as there). Returns an error message, or an empty
// string on success.
std::string saveImage(const OutputFile& file, const std::vector<std::uint32_t>& words, int width,
                      int height, std::string* notice = nullptr);
