// SPDX-License-Identifier: MIT
#include "headless/exr_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>

#if PATHTRACER_OPENEXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfIntAttribute.h>
#include <ImfOutputFile.h>
#include <ImfStringAttribute.h>
#endif

#include "headless/safe_file.h"

#if PATHTRACER_OPENEXR
namespace {

// OpenEXR's output through the stdio file writeFileSafely hands over.
class StdioStream : public Imf::OStream {
  public:
    StdioStream(std::FILE* file, const std::string& name)
        : Imf::OStream(name.c_str()), file_(file) {}

    void write(const char c[], int n) override {
        if (std::fwrite(c, 1, static_cast<std::size_t>(n), file_) != static_cast<std::size_t>(n)) {
            throw std::runtime_error("write failed");
        }
    }
    std::uint64_t tellp() override { return static_cast<std::uint64_t>(ftello(file_)); }
    void seekp(std::uint64_t pos) override {
        if (fseeko(file_, static_cast<off_t>(pos), SEEK_SET) != 0) {
            throw std::runtime_error("seek failed");
        }
    }

  private:
    std::FILE* file_;
};

} // namespace

std::string saveExr(const std::string& path, const std::vector<float>& rgb, int width, int height,
                    const ExrAttributes& attributes) {
    return writeFileSafely(path, [&](std::FILE* file) {
        try {
            Imf::Header header(width, height);
            header.compression() = Imf::ZIP_COMPRESSION;
            for (const char* channel : {"R", "G", "B"}) {
                header.channels().insert(channel, Imf::Channel(Imf::FLOAT));
            }
            header.insert("software", Imf::StringAttribute(attributes.software));
            header.insert("frames", Imf::IntAttribute(attributes.frames));
            header.insert("mode", Imf::StringAttribute(attributes.mode));
            header.insert("instructionSet", Imf::StringAttribute(attributes.instructionSet));

            const std::size_t pixel = 3 * sizeof(float);
            const std::size_t row = pixel * static_cast<std::size_t>(width);
            Imf::FrameBuffer frame;
            const char* base = reinterpret_cast<const char*>(rgb.data());
            const char* const names[3] = {"R", "G", "B"};
            for (int c = 0; c < 3; ++c) {
                frame.insert(names[c],
                             Imf::Slice(Imf::FLOAT, const_cast<char*>(base + c * sizeof(float)),
                                        pixel, row));
            }
            StdioStream stream(file, path);
            Imf::OutputFile out(stream, header);
            out.setFrameBuffer(frame);
            out.writePixels(height);
            return true;
        } catch (const std::exception&) {
            if (errno == 0) {
                errno = EIO;
            }
            return false;
        }
    });
}

bool exrSupported() {
    return true;
}

#else

bool exrSupported() {
    return false;
}

std::string saveExr(const std::string& path, const std::vector<float>&, int, int,
                    const ExrAttributes&) {
    return "cannot save '" + path + "': this build has no OpenEXR support";
}

#endif
