// SPDX-License-Identifier: MIT
#include "headless/image_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <png.h>

#include "headless/quoted.h"
#include "headless/safe_file.h"

namespace {

// One row of 0x00RRGGBB words as R, G, B bytes, into `rgb` (3 * width bytes).
void rgbRow(const std::uint32_t* words, int width, std::uint8_t* rgb) {
    for (int i = 0; i < width; ++i) {
        rgb[i * 3 + 0] = static_cast<std::uint8_t>(words[i] >> 16);
        rgb[i * 3 + 1] = static_cast<std::uint8_t>(words[i] >> 8);
        rgb[i * 3 + 2] = static_cast<std::uint8_t>(words[i]);
    }
}

bool writePpm(std::FILE* file, const std::vector<std::uint32_t>& words, int width, int height,
              std::vector<std::uint8_t>& row) {
    if (std::fprintf(file, "P6\n%d %d\n255\n", width, height) < 0) {
        return false;
    }
    for (int y = 0; y < height; ++y) {
        rgbRow(words.data() + static_cast<std::size_t>(y) * width, width, row.data());
        if (std::fwrite(row.data(), 1, row.size(), file) != row.size()) {
            return false;
        }
    }
    return true;
}

// libpng would print its own messages beside ours: a failure is told once, as the write's, and
// warnings (libpng warns before it fails for want of memory) are not told at all.
[[noreturn]] void pngFailed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void pngWarned(png_structp, png_const_charp) {}

bool writePng(std::FILE* file, const std::vector<std::uint32_t>& words, int width, int height,
              std::vector<std::uint8_t>& row) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarned);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    // libpng reports failures by jumping back here; nothing with a destructor lives across it.
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        rgbRow(words.data() + static_cast<std::size_t>(y) * width, width, row.data());
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

std::string systemError(const std::string& what, const std::string& path) {
    const char* reason = errno != 0 ? std::strerror(errno) : "write error";
    return "cannot " + what + " " + quotedName(path) + ": " + reason;
}

} // namespace

ImageFormat imageFormatOf(const std::string& path) {
    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return ImageFormat::Unknown;
    }
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (dot == 0 || (slash != std::string::npos && dot == slash + 1)) {
        return ImageFormat::Unknown; // ".png" alone names no picture
    }
    for (const ImageFormatName& f : kImageFormats) {
        if (ext == f.extension) {
            return f.format;
        }
    }
    return ImageFormat::Unknown;
}

std::string imageExtensions(ImageFormats which) {
    std::vector<std::string> names;
    for (const ImageFormatName& f : kImageFormats) {
        if (which == ImageFormats::All || f.eightBit == (which == ImageFormats::EightBit)) {
            names.push_back(f.extension);
        }
    }
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        list += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    }
    return list;
}

std::string saveImage(const OutputFile& output, const std::vector<std::uint32_t>& words, int width,
                      int height, std::string* notice) {
    const std::string& path = output.name;
    const ImageFormat format = imageFormatOf(path);
    if (format != ImageFormat::Ppm && format != ImageFormat::Png) {
        return "cannot save " + quotedName(path) +
               " as 8 bits: the name must end in " + imageExtensions(ImageFormats::EightBit);
    }
    // Had before the file is made, so that running out of memory leaves nothing behind.
    std::vector<std::uint8_t> row;
    try {
        row.resize(static_cast<std::size_t>(width) * 3);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return systemError("write", path);
    }
    return writeFileSafely(output, [&](std::FILE* file) {
        return format == ImageFormat::Ppm ? writePpm(file, words, width, height, row)
                                          : writePng(file, words, width, height, row);
    }, notice);
}
