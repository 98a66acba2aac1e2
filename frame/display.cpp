#include "frame/display.h"

#include <cstring>

#include "frame/image.h"

std::uint32_t encodeColor(const Vec3& color) {
    const auto red = static_cast<std::uint32_t>(static_cast<int>(color.x * 255.0f));
    const auto green = static_cast<std::uint32_t>(static_cast<int>(color.y * 255.0f));
    const auto blue = static_cast<std::uint32_t>(static_cast<int>(color.z * 255.0f));
    return (red << 16) | (green << 8) | blue;
}

std::uint32_t meanPixelWord(int index) {
    const float n = static_cast<float>(gSamples);
    const Vec3& sum = gAccumColor1[index];
    return encodeColor(makeVec3(sum.x / n, sum.y / n, sum.z / n));
}

void writeMeanPixels(std::uint8_t* pixels, int pitch) {
    for (int row = 0; row < kHeight; ++row) {
        std::uint8_t* line = pixels + static_cast<std::ptrdiff_t>(row) * pitch;
        for (int column = 0; column < kWidth; ++column) {
            const std::uint32_t word = meanPixelWord(row * kWidth + column);
            std::memcpy(line + column * 4, &word, sizeof word);
        }
    }
}
