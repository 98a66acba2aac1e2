// SPDX-License-Identifier: MIT
#include "window/surface_display.h"

#include <cstdint>
#include <system_error>
#include <thread>

#include "frame/image.h"

PixelLayout layoutOf(const SDL_PixelFormat& f) {
    PixelLayout l;
    l.bytesPerPixel = f.BytesPerPixel;
    l.redShift = f.Rshift;
    l.greenShift = f.Gshift;
    l.blueShift = f.Bshift;
    l.redLoss = f.Rloss;
    l.greenLoss = f.Gloss;
    l.blueLoss = f.Bloss;
    l.alphaMask = f.Amask;
    return l;
}

namespace {

// Converting the sums is bound by memory (a frame reads 4.9 MB of sums and writes 1.2 MB of
// pixels), and each core brings its own share: two threads, each on one band's rows, take about
// half as long as one. The calling thread converts the top band; if no thread can be started, it
// converts both.
void writeOnTwoThreads(std::uint8_t* pixels, int pitch, const PixelLayout& layout) {
    std::thread bottom;
    try {
        bottom =
            std::thread([=] { writeMeanPixels(pixels, pitch, layout, kBandSplitRow, kHeight); });
    } catch (const std::system_error&) {
    }
    writeMeanPixels(pixels, pitch, layout, 0, bottom.joinable() ? kBandSplitRow : kHeight);
    if (bottom.joinable()) {
        bottom.join();
    }
}

} // namespace

bool updatePixels(SDL_Surface* surface) {
    if (surface->w < kWidth || surface->h < kHeight) {
        return false;
    }
    const bool lock = SDL_MUSTLOCK(surface);
    if (lock && SDL_LockSurface(surface) != 0) {
        return false;
    }
    // The pixel pointer is read while locked: locking may move it.
    auto* pixels = static_cast<std::uint8_t*>(surface->pixels);
    if (surface->format->palette != nullptr) {
        // A palettised surface: SDL picks the nearest palette entry.
        for (int row = 0; row < kHeight; ++row) {
            std::uint8_t* line = pixels + row * surface->pitch;
            for (int column = 0; column < kWidth; ++column) {
                const std::uint32_t word = meanPixelWord(row * kWidth + column);
                line[column] = static_cast<std::uint8_t>(SDL_MapRGB(
                    surface->format, (word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF));
            }
        }
    } else {
        writeOnTwoThreads(pixels, surface->pitch, layoutOf(*surface->format));
    }
    if (lock) {
        SDL_UnlockSurface(surface);
    }
    return true;
}
