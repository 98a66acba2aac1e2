// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "scene/vec3.h"

// 0x00RRGGBB for channels in [0, 1]; each channel is scaled by 255 and truncated. Channels
// outside [0, 1], infinite or NaN show as the nearer end (NaN as 0).
std::uint32_t encodeColor(const Vec3& color);

// The running mean of pixel `index`'s samples, each channel its sum divided by the sample count
// (black before the first sample).
Vec3 meanPixel(int index);

// The word shown for pixel `index`: encodeColor of meanPixel.
std::uint32_t meanPixelWord(int index);

// How a pixel is laid out in the memory it is written to: a true-colour pixel of 2, 3 or 4
// bytes in the machine's byte order, each 8-bit channel shifted right by its loss and left by
// its shift (as SDL_MapRGB does), with the alpha bits set.
struct PixelLayout {
    int bytesPerPixel = 4;
    int redShift = 16, greenShift = 8, blueShift = 0;
    int redLoss = 0, greenLoss = 0, blueLoss = 0;
    std::uint32_t alphaMask = 0;
};

// Whether `layout` is the 32-bit 0x00RRGGBB word itself.
bool isXrgb8888(const PixelLayout& layout);

// Writes every pixel's running mean into rows `pitch` bytes apart, in `layout`; or only those of
// rows [firstRow, endRow).
void writeMeanPixels(std::uint8_t* pixels, int pitch, const PixelLayout& layout = PixelLayout{});
void writeMeanPixels(std::uint8_t* pixels, int pitch, const PixelLayout& layout, int firstRow,
                     int endRow);
