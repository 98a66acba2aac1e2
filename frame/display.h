#pragma once

#include <cstdint>

#include "scene/vec3.h"

// 0x00RRGGBB for channels in [0, 1]; each channel is scaled by 255 and truncated.
std::uint32_t encodeColor(const Vec3& color);

// The word shown for pixel `index`: encodeColor of the running mean of its samples.
std::uint32_t meanPixelWord(int index);

// Writes every pixel's word as 32-bit 0x00RRGGBB into rows `pitch` bytes apart.
void writeMeanPixels(std::uint8_t* pixels, int pitch);
