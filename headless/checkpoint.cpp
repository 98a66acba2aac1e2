// SPDX-License-Identifier: MIT
#include "headless/checkpoint.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include "headless/quoted.h"
#include "headless/safe_file.h"

namespace {

constexpr char kMagic[8] = {'P', 'T', 'R', 'A', 'C', 'E', 'C', 'K'};
// magic, version, width, height, mode, frames, generator (the two draw counts follow)
constexpr std::size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4 + 8 + 31 * 4;
constexpr std::size_t kChecksumBytes = 4;

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}
void put64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    put32(out, static_cast<std::uint32_t>(v));
    put32(out, static_cast<std::uint32_t>(v >> 32));
}
void putDraws(std::vector<std::uint8_t>& out, const std::vector<std::uint16_t>& draws) {
    for (const std::uint16_t d : draws) {
        out.push_back(static_cast<std::uint8_t>(d));
        out.push_back(static_cast<std::uint8_t>(d >> 8));
    }
}

std::uint32_t get32(const std::uint8_t* at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    }
    return v;
}

// Little-endian fields read in order, from after the magic, where the caller has checked they are.
class Reader {
  public:
    explicit Reader(const std::uint8_t* bytes) : bytes_(bytes) {}
    void skip(std::size_t n) { at_ += n; }
    std::uint32_t u32() {
        at_ += 4;
        return get32(bytes_ + at_ - 4);
    }
    std::uint64_t u64() {
        const std::uint64_t low = u32();
        return low | static_cast<std::uint64_t>(u32()) << 32;
    }
    std::uint16_t u16() {
        const auto v = static_cast<std::uint16_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
        at_ += 2;
        return v;
    }

  private:
    const std::uint8_t* bytes_;
    std::size_t at_ = 8; // after the magic
};

std::uint32_t checksum(const std::uint8_t* data, std::size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt chunk = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        crc = crc32(crc, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return static_cast<std::uint32_t>(crc);
}

std::uint32_t floatBits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

} // namespace

std::string writeCheckpoint(const OutputFile& file, const Checkpoint& c, std::string* notice) {
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderBytes + 2 * c.heldDraws.size() + 4 * c.sums.size() + kChecksumBytes);
    for (const char c : kMagic) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    put32(out, Checkpoint::kVersion);
    put32(out, c.width);
    put32(out, c.height);
    put32(out, c.sequential ? 0 : 1);
    put64(out, c.frames);
    for (const std::uint32_t word : c.generator) {
        put32(out, word);
    }
    put32(out, static_cast<std::uint32_t>(c.heldDraws.size()));
    put32(out, 0); // no bounces held for the bottom band (see parseCheckpoint)
    putDraws(out, c.heldDraws);
    for (const float sum : c.sums) {
        put32(out, floatBits(sum));
    }
    put32(out, checksum(out.data(), out.size()));
    return writeFileSafely(
        file,
        [&](std::FILE* stream) {
            return std::fwrite(out.data(), 1, out.size(), stream) == out.size();
        },
        notice);
}

namespace {

std::string named(const std::string& path) {
    return "checkpoint " + quotedName(path);
}

std::string truncated(const std::string& path, std::uint64_t size, std::uint64_t expected = 0) {
    return named(path) + " is truncated (" + std::to_string(size) + " bytes" +
           (expected != 0 ? " of " + std::to_string(expected) : std::string()) + ")";
}

// The checks the header alone allows, the length it implies included, against a file of `size`
// bytes of which the first `available` are at `bytes`. Sets `length` to the file's length.
std::string checkHeader(const std::uint8_t* bytes, std::size_t available, std::uint64_t size,
                        const std::string& path, const CheckpointLimits& limits,
                        std::uint64_t& length) {
    length = 0;
    if (size < sizeof kMagic || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) {
        return quotedName(path) + " is not a pathtracer checkpoint";
    }
    if (available < 12) {
        return truncated(path, size);
    }
    Reader read(bytes);
    const std::uint32_t version = read.u32();
    if (version != Checkpoint::kVersion) {
        return named(path) + " is of format version " + std::to_string(version) +
               "; this program reads version " + std::to_string(Checkpoint::kVersion);
    }
    if (available < kHeaderBytes + 8) {
        return truncated(path, size);
    }
    const std::uint32_t width = read.u32();
    const std::uint32_t height = read.u32();
    if (width != limits.width || height != limits.height) {
        return named(path) + " is of a " + std::to_string(width) + "x" + std::to_string(height) +
               " picture, not " + std::to_string(limits.width) + "x" +
               std::to_string(limits.height);
    }
    const std::uint32_t mode = read.u32();
    if (mode > 1) {
        return named(path) + " is corrupted (unknown mode " + std::to_string(mode) + ")";
    }
    read.skip(8 + 31 * 4);
    for (int band = 0; band < 2; ++band) {
        const std::uint32_t held = read.u32();
        if (held > limits.mostHeldBounces) {
            return named(path) + " is corrupted (it holds " + std::to_string(held) +
                   " bounces for one band; a render holds at most " +
                   std::to_string(limits.mostHeldBounces) + ")";
        }
        length += 2 * std::uint64_t{held};
    }
    length += kHeaderBytes + 8 + 4 * 3 * std::uint64_t{width} * height + kChecksumBytes;
    if (size < length) {
        return truncated(path, size, length);
    }
    if (size > length) {
        return named(path) + " is too long (" + std::to_string(size) + " bytes of " +
               std::to_string(length) + ")";
    }
    return {};
}

} // namespace

std::string parseCheckpoint(const std::uint8_t* bytes, std::size_t size, const std::string& path,
                            const CheckpointLimits& limits, Checkpoint& c) {
    std::uint64_t length = 0;
    std::string error = checkHeader(bytes, size, size, path, limits, length);
    if (!error.empty()) {
        return error;
    }
    const std::size_t body = size - kChecksumBytes;
    if (checksum(bytes, body) != get32(bytes + body)) {
        return named(path) + " is corrupted (its checksum does not match its contents)";
    }
    Reader read(bytes);
    read.skip(4);
    c.width = read.u32();
    c.height = read.u32();
    c.sequential = read.u32() == 0;
    c.frames = read.u64();
    for (std::uint32_t& word : c.generator) {
        word = read.u32();
    }
    if (c.frames > limits.mostFrames) {
        return named(path) + " holds " + std::to_string(c.frames) +
               " frames, more than a render takes (" + std::to_string(limits.mostFrames) + ")";
    }
    // Earlier versions also held bounces for the bottom band, which no frame uses: they are
    // checked like the others and dropped, so that the frames know of one list.
    c.heldDraws.resize(read.u32());
    std::vector<std::uint16_t> bottomBand(read.u32());
    for (auto* draws : {&c.heldDraws, &bottomBand}) {
        for (std::uint16_t& d : *draws) {
            d = read.u16();
            if (!limits.bounceDrawn(d)) {
                return named(path) + " holds a bounce no render draws (" + std::to_string(d) + ")";
            }
        }
    }
    // Every sample is clamped to at most 1 and none is negative: a sum lies between 0 and the
    // frame count (a float sum of values up to 1 never rounds above it), and a render of no
    // frames has only zeros.
    c.sums.resize(3 * std::size_t{c.width} * c.height);
    for (std::size_t i = 0; i < c.sums.size(); ++i) {
        const std::uint32_t bits = read.u32();
        std::memcpy(&c.sums[i], &bits, sizeof bits);
        const double sum = c.sums[i];
        if (!(sum >= 0.0 && sum <= static_cast<double>(c.frames))) {
            char value[32];
            std::snprintf(value, sizeof value, "%g", sum);
            return named(path) + " holds a sum no render of " + std::to_string(c.frames) +
                   " frames has (" + value + " at pixel " + std::to_string(i / 3) + ")";
        }
    }
    return {};
}

std::string readCheckpoint(const std::string& path, const CheckpointLimits& limits, Checkpoint& c) {
    // Not blocking: a FIFO is refused, not waited on.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return "cannot read " + named(path) + ": " + std::strerror(errno);
    }
    const auto failed = [&](const std::string& error) {
        close(fd);
        return error;
    };
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return failed("cannot read " + named(path) + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return failed("cannot read " + named(path) + ": " +
                      (S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "it is not a regular file"));
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    // The header first: the length it implies is checked against the file's before more is read.
    std::vector<std::uint8_t> bytes(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderBytes + 8)));
    std::string error;
    std::size_t got = 0;
    const auto readUpTo = [&](std::size_t end) {
        while (got < end) {
            const ssize_t n = read(fd, bytes.data() + got, end - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error = n < 0 ? "cannot read " + named(path) + ": " + std::strerror(errno)
                              : truncated(path, got);
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        return true;
    };
    if (!readUpTo(bytes.size())) {
        return failed(error);
    }
    std::uint64_t length = 0;
    error = checkHeader(bytes.data(), bytes.size(), size, path, limits, length);
    if (!error.empty()) {
        return failed(error);
    }
    bytes.resize(static_cast<std::size_t>(length));
    if (!readUpTo(bytes.size())) {
        return failed(error);
    }
    close(fd);
    return parseCheckpoint(bytes.data(), bytes.size(), path, limits, c);
}
