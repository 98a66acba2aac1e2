// SPDX-License-Identifier: MIT
#include "headless/exr_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#if PATHTRACER_OPENEXR
#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfIntAttribute.h>
#include <ImfOutputFile.h>
#include <ImfStringAttribute.h>
#endif

#include "headless/quoted.h"
#include "headless/safe_file.h"

#if PATHTRACER_OPENEXR
namespace {

// OpenEXR's output into memory: the file is then written in one piece, so that a short write is
// told like any other (OpenEXR's OutputFile writes its offset table from its destructor, which
// swallows a failure there), and a pipe, which cannot seek, can take it too.
class MemoryStream : public Imf::OStream {
  public:
    explicit MemoryStream(const std::string& name) : Imf::OStream(name.c_str()) {}

    void write(const char c[], int n) override {
        const std::size_t end = at_ + static_cast<std::size_t>(n);
        if (end > bytes_.size()) {
            bytes_.resize(end);
        }
        std::memcpy(bytes_.data() + at_, c, static_cast<std::size_t>(n));
        at_ = end;
    }
    std::uint64_t tellp() override { return at_; }
    void seekp(std::uint64_t pos) override { at_ = static_cast<std::size_t>(pos); }

    const std::vector<char>& bytes() const { return bytes_; }

  private:
    std::vector<char> bytes_;
    std::size_t at_ = 0;
};

// The picture as the bytes of an OpenEXR file.
std::vector<char> exrBytes(const std::string& path, const std::vector<float>& rgb, int width,
                           int height, const ExrAttributes& attributes) {
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
        frame.insert(names[c], Imf::Slice(Imf::FLOAT, const_cast<char*>(base + c * sizeof(float)),
                                          pixel, row));
    }
    MemoryStream stream(path);
    {
        Imf::OutputFile out(stream, header);
        out.setFrameBuffer(frame);
        out.writePixels(height);
    }
    return stream.bytes();
}

} // namespace

std::string saveExr(const OutputFile& output, const std::vector<float>& rgb, int width, int height,
                    const ExrAttributes& attributes, std::string* notice) {
    const std::string& path = output.name;
    std::vector<char> bytes;
    try {
        bytes = exrBytes(path, rgb, width, height, attributes);
    } catch (const std::bad_alloc&) {
        return "cannot write " + quotedName(path) + ": " + std::strerror(ENOMEM);
    } catch (const std::exception& e) {
        return "cannot write " + quotedName(path) + ": " + e.what();
    }
    return writeFileSafely(
        output,
        [&](std::FILE* file) {
            return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
        },
        notice);
}

bool exrSupported() {
    return true;
}

#else

bool exrSupported() {
    return false;
}

std::string saveExr(const OutputFile& output, const std::vector<float>&, int, int,
                    const ExrAttributes&, std::string*) {
    return "cannot save " + quotedName(output.name) + ": this build has no OpenEXR support";
}

#endif
