// SPDX-License-Identifier: MIT
#include "frame/display.h"

#include <cstring>

#include "frame/image.h"

namespace {

// A channel scaled by 255 and truncated toward zero. Every mean a render makes is within [0, 1];
// any other float (out of range, infinite, NaN) gives 0 below and 255 above instead of the
// conversion C++ leaves undefined, so that it shows alike on every machine.
std::uint32_t channelLevel(float channel) {
    const float scaled = channel * 255.0f;
    if (!(scaled > 0.0f)) {
        return 0;
    }
    return scaled < 255.0f ? static_cast<std::uint32_t>(static_cast<int>(scaled)) : 255u;
}

} // namespace

std::uint32_t encodeColor(const Vec3& color) {
    return (channelLevel(color.x) << 16) | (channelLevel(color.y) << 8) | channelLevel(color.z);
}

Vec3 meanPixel(int index) {
    if (gSamples <= 0) {
        return Vec3{}; // no sample yet: black, not a division by zero
    }
    const float n = static_cast<float>(gSamples);
    const Vec3& sum = gAccumColor1[index];
    return makeVec3(sum.x / n, sum.y / n, sum.z / n);
}

std::uint32_t meanPixelWord(int index) {
    return encodeColor(meanPixel(index));
}

bool isXrgb8888(const PixelLayout& l) {
    return l.bytesPerPixel == 4 && l.redShift == 16 && l.greenShift == 8 && l.blueShift == 0 &&
           l.redLoss == 0 && l.greenLoss == 0 && l.blueLoss == 0 && l.alphaMask == 0;
}

namespace {

std::uint32_t mapWord(std::uint32_t word, const PixelLayout& l) {
    const std::uint32_t red = (word >> 16) & 0xFF;
    const std::uint32_t green = (word >> 8) & 0xFF;
    const std::uint32_t blue = word & 0xFF;
    return ((red >> l.redLoss) << l.redShift) | ((green >> l.greenLoss) << l.greenShift) |
           ((blue >> l.blueLoss) << l.blueShift) | l.alphaMask;
}

void storePixel(std::uint8_t* at, std::uint32_t value, int bytesPerPixel) {
    switch (bytesPerPixel) {
    case 2: {
        const auto v = static_cast<std::uint16_t>(value);
        std::memcpy(at, &v, 2);
        break;
    }
    case 3: {
        // Three bytes in the machine's order of the 32-bit value's low bytes.
        std::uint8_t bytes[4];
        std::memcpy(bytes, &value, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        std::memcpy(at, bytes + 1, 3);
#else
        std::memcpy(at, bytes, 3);
#endif
        break;
    }
    default:
        std::memcpy(at, &value, 4);
        break;
    }
}

} // namespace

void writeMeanPixels(std::uint8_t* pixels, int pitch, const PixelLayout& layout) {
    writeMeanPixels(pixels, pitch, layout, 0, kHeight);
}

void writeMeanPixels(std::uint8_t* pixels, int pitch, const PixelLayout& layout, int firstRow,
                     int endRow) {
    const bool direct = isXrgb8888(layout);
    for (int row = firstRow; row < endRow; ++row) {
        std::uint8_t* line = pixels + static_cast<std::ptrdiff_t>(row) * pitch;
        for (int column = 0; column < kWidth; ++column) {
            const std::uint32_t word = meanPixelWord(row * kWidth + column);
            if (direct) {
                std::memcpy(line + column * 4, &word, 4);
            } else {
                storePixel(line + column * layout.bytesPerPixel, mapWord(word, layout),
                           layout.bytesPerPixel);
            }
        }
    }
}
