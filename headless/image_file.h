// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "headless/safe_file.h"

enum class ImageFormat { Unknown, Ppm, Png, Exr };

// The picture formats the renderer saves, by extension: the one table the option's parser, its
// messages and --help read (the bash completion and the manual page are checked against
// --help). An 8-bit format holds the shown picture, the others the running mean as floats.
struct ImageFormatName {
    ImageFormat format;
    const char* extension;
    bool eightBit;
};
inline constexpr ImageFormatName kImageFormats[] = {
    {ImageFormat::Ppm, ".ppm", true},
    {ImageFormat::Png, ".png", true},
    {ImageFormat::Exr, ".exr", false},
};

// From the file name's extension (any of kImageFormats', in any case).
ImageFormat imageFormatOf(const std::string& path);
// The extensions as a message lists them: ".ppm, .png or .exr", or of the 8-bit or the float
// formats alone (".ppm or .png").
enum class ImageFormats { All, EightBit, Float };
std::string imageExtensions(ImageFormats which = ImageFormats::All);

// Saves 0x00RRGGBB words, row-major, as an 8-bit RGB picture, with writeFileSafely (never left
// half-written; links written through; permissions kept; `notice` as there). Returns an error message, or an empty
// string on success.
std::string saveImage(const OutputFile& file, const std::vector<std::uint32_t>& words, int width,
                      int height, std::string* notice = nullptr);
