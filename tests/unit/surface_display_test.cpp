// SPDX-License-Identifier: MIT
// The running mean shown on surfaces of every layout SDL may hand out.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "frame/display.h"
#include "frame/image.h"
#include "window/surface_display.h"

namespace {

// A picture whose pixels all differ: red by column, green by row, blue by both.
void presetPicture() {
    clearImage();
    gSamples = 1;
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            gAccumColor1[row * kWidth + column] = makeVec3(
                static_cast<float>(column % 256) / 255.0f, static_cast<float>(row % 256) / 255.0f,
                static_cast<float>((row + column) % 256) / 255.0f);
        }
    }
}

// Every pixel of `surface` read back through SDL matches the shown word, to the precision of
// the surface's channels.
void expectShowsThePicture(SDL_Surface* surface) {
    ASSERT_EQ(SDL_LockSurface(surface), 0);
    const auto* base = static_cast<const std::uint8_t*>(surface->pixels);
    const SDL_PixelFormat* f = surface->format;
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            const std::uint8_t* at = base + row * surface->pitch + column * f->BytesPerPixel;
            std::uint32_t value = 0;
            if (f->BytesPerPixel == 2) {
                value = *reinterpret_cast<const std::uint16_t*>(at);
            } else {
                value = *reinterpret_cast<const std::uint32_t*>(at);
            }
            Uint8 r, g, b;
            SDL_GetRGB(value, const_cast<SDL_PixelFormat*>(f), &r, &g, &b);
            const std::uint32_t word = meanPixelWord(row * kWidth + column);
            ASSERT_EQ(r >> f->Rloss, ((word >> 16) & 0xFF) >> f->Rloss) << row << "," << column;
            ASSERT_EQ(g >> f->Gloss, ((word >> 8) & 0xFF) >> f->Gloss) << row << "," << column;
            ASSERT_EQ(b >> f->Bloss, (word & 0xFF) >> f->Bloss) << row << "," << column;
        }
    }
    SDL_UnlockSurface(surface);
}

} // namespace

TEST(SurfaceDisplay, XrgbSurfaceGetsTheWordsThemselves) {
    presetPicture();
    SDL_Surface* s =
        SDL_CreateRGBSurface(SDL_SWSURFACE, kWidth, kHeight, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(isXrgb8888(layoutOf(*s->format)));
    ASSERT_TRUE(updatePixels(s));
    const auto* words = static_cast<const std::uint32_t*>(s->pixels);
    EXPECT_EQ(words[1 * kWidth + 2], meanPixelWord(1 * kWidth + 2));
    expectShowsThePicture(s);
    SDL_FreeSurface(s);
}

TEST(SurfaceDisplay, PaddedPitchKeepsRowsApart) {
    presetPicture();
    const int pitch = kWidth * 4 + 64;
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(pitch) * kHeight, 0xAB);
    SDL_Surface* s = SDL_CreateRGBSurfaceFrom(memory.data(), kWidth, kHeight, 32, pitch, 0xFF0000,
                                              0xFF00, 0xFF, 0);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(updatePixels(s));
    expectShowsThePicture(s);
    EXPECT_EQ(memory[kWidth * 4], 0xAB); // the padding is left alone
    SDL_FreeSurface(s);
}

TEST(SurfaceDisplay, BgrChannelOrder) {
    presetPicture();
    SDL_Surface* s =
        SDL_CreateRGBSurface(SDL_SWSURFACE, kWidth, kHeight, 32, 0xFF, 0xFF00, 0xFF0000, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(isXrgb8888(layoutOf(*s->format)));
    ASSERT_TRUE(updatePixels(s));
    expectShowsThePicture(s);
    SDL_FreeSurface(s);
}

TEST(SurfaceDisplay, SixteenBitsPerPixel) {
    presetPicture();
    SDL_Surface* s =
        SDL_CreateRGBSurface(SDL_SWSURFACE, kWidth, kHeight, 16, 0xF800, 0x07E0, 0x001F, 0);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(updatePixels(s));
    expectShowsThePicture(s);
    SDL_FreeSurface(s);
}

TEST(SurfaceDisplay, WritesOnlyWhileTheSurfaceIsLocked) {
    // sdl12-compat (SDL 1.2 from 1.2.50 on, over SDL2) keeps no pixel offset in its surfaces.
    if (SDL_Linked_Version()->patch >= 50) {
        GTEST_SKIP() << "sdl12-compat's surfaces have no pixel offset";
    }
    presetPicture();
    // A surface whose pixels start `offset` bytes in: SDL_MUSTLOCK is true, and only locking
    // moves the pixel pointer to where the picture belongs.
    SDL_Surface* s =
        SDL_CreateRGBSurface(SDL_SWSURFACE, kWidth, kHeight + 1, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    ASSERT_NE(s, nullptr);
    s->offset = s->pitch;
    s->h = kHeight;
    ASSERT_TRUE(SDL_MUSTLOCK(s));
    ASSERT_TRUE(updatePixels(s));
    EXPECT_EQ(s->locked, 0);
    expectShowsThePicture(s);
    const auto* firstRow = static_cast<const std::uint32_t*>(s->pixels);
    EXPECT_EQ(firstRow[5], 0u); // nothing written before the offset
    s->offset = 0;
    s->h = kHeight + 1;
    SDL_FreeSurface(s);
}

TEST(SurfaceDisplay, RefusesASurfaceSmallerThanThePicture) {
    SDL_Surface* s = SDL_CreateRGBSurface(SDL_SWSURFACE, 320, 240, 32, 0xFF0000, 0xFF00, 0xFF, 0);
    EXPECT_FALSE(updatePixels(s));
    SDL_FreeSurface(s);
}
