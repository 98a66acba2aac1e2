// SPDX-License-Identifier: MIT
#include "window/window_icon.h"

#include <cstdint>
#include <vector>

#include <SDL.h>
#include <png.h>

namespace {

// RGBA pixels of the built-in icon, width by height, or none.
std::vector<std::uint8_t> decodeIcon(int& width, int& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_memory(&image, kWindowIconPng, kWindowIconPngSize) == 0) {
        return {};
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return {};
    }
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    return rgba;
}

} // namespace

bool setWindowIcon() {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba = decodeIcon(width, height);
    if (rgba.empty()) {
        return false;
    }
    // Bytes R, G, B, A in memory, whatever the byte order of a 32-bit word.
#if SDL_BYTEORDER == SDL_BIG_ENDIAN
    const Uint32 r = 0xFF000000u, g = 0x00FF0000u, b = 0x0000FF00u, a = 0x000000FFu;
#else
    const Uint32 r = 0x000000FFu, g = 0x0000FF00u, b = 0x00FF0000u, a = 0xFF000000u;
#endif
    SDL_Surface* icon =
        SDL_CreateRGBSurfaceFrom(rgba.data(), width, height, 32, width * 4, r, g, b, a);
    if (icon == nullptr) {
        return false;
    }
    // SDL 1.2 takes transparency as a mask of one bit per pixel, rows whole bytes, first pixel in
    // the high bit.
    const int rowBytes = (width + 7) / 8;
    std::vector<Uint8> mask(static_cast<std::size_t>(rowBytes) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (rgba[(static_cast<std::size_t>(y) * width + x) * 4 + 3] >= 128) {
                mask[static_cast<std::size_t>(y) * rowBytes + x / 8] |=
                    static_cast<Uint8>(0x80u >> (x % 8));
            }
        }
    }
    SDL_WM_SetIcon(icon, mask.data());
    SDL_FreeSurface(icon);
    return true;
}
