// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class ImageFormat { Unknown, Ppm, Png };

// From the file name's extension (.ppm or .png, in any case).
ImageFormat imageFormatOf(const std::string& path);

// Saves 0x00RRGGBB words, row-major, as an 8-bit RGB picture. The file is written beside `path`
// and renamed into place, so `path` is never left half-written. Returns an error message, or an
// empty string on success.
std::string saveImage(const std::string& path, const std::vector<std::uint32_t>& words, int width,
                      int height);

// Checks up front that a picture can be saved as `path`: that it is not a directory, and that a
// file can be created beside it (by creating and removing a temporary file there). Returns an error
// message, or an empty string.
std::string checkWritable(const std::string& path);
