// SPDX-License-Identifier: MIT
// Reads an OpenEXR picture with OpenEXR's own reader and writes the PPM the display would show for
// its values (encodeColor: each channel times 255, truncated), for comparison with a render's PPM.
// Usage: exr_to_ppm IN.exr OUT.ppm
#include <cstdio>
#include <exception>
#include <vector>

#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>

#include "frame/display.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: exr_to_ppm IN.exr OUT.ppm\n");
        return 2;
    }
    try {
        Imf::InputFile in(argv[1]);
        const Imath::Box2i window = in.header().dataWindow();
        const int width = window.max.x - window.min.x + 1;
        const int height = window.max.y - window.min.y + 1;
        std::vector<float> rgb(3 * static_cast<std::size_t>(width) * height);
        Imf::FrameBuffer frame;
        const char* const names[3] = {"R", "G", "B"};
        for (int c = 0; c < 3; ++c) {
            char* base = reinterpret_cast<char*>(rgb.data() + c) -
                         (window.min.x + window.min.y * width) * 3 * sizeof(float);
            frame.insert(names[c], Imf::Slice(Imf::FLOAT, base, 3 * sizeof(float),
                                              3 * sizeof(float) * width));
        }
        in.setFrameBuffer(frame);
        in.readPixels(window.min.y, window.max.y);
        std::FILE* out = std::fopen(argv[2], "wb");
        if (out == nullptr) {
            std::perror(argv[2]);
            return 1;
        }
        std::fprintf(out, "P6\n%d %d\n255\n", width, height);
        for (std::size_t i = 0; i < rgb.size(); i += 3) {
            const std::uint32_t word = encodeColor(makeVec3(rgb[i], rgb[i + 1], rgb[i + 2]));
            const unsigned char bytes[3] = {static_cast<unsigned char>(word >> 16),
                                            static_cast<unsigned char>(word >> 8),
                                            static_cast<unsigned char>(word)};
            std::fwrite(bytes, 1, 3, out);
        }
        return std::fclose(out) == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "exr_to_ppm: %s\n", e.what());
        return 1;
    }
}
