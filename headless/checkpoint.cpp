// SPDX-License-Identifier: MIT
#include "headless/checkpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <zlib.h>

#include "headless/safe_file.h"

namespace {

constexpr char kMagic[8] = {'P', 'T', 'R', 'A', 'C', 'E', 'C', 'K'};
// magic, version, width, height, mode, frames, generator (the two draw counts follow)
constexpr std::size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4 + 8 + 31 * 4;
constexpr std::size_t kChecksumBytes = 4;
// Far above any real checkpoint (a 640 x 480 one is about 3.7 MB; the runs two workers hold
// ahead add at most a few MB): a larger file is not read into memory.
constexpr std::size_t kLargest = std::size_t{1} << 28;

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

// Little-endian fields read in order from a whole file.
class Reader {
  public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(bytes_[at_ + i]) << (8 * i);
        }
        at_ += 4;
        return v;
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
    const std::vector<std::uint8_t>& bytes_;
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

std::string writeCheckpoint(const std::string& path, const Checkpoint& c) {
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderBytes + 2 * (c.topDraws.size() + c.bottomDraws.size()) + 4 * c.sums.size() +
                kChecksumBytes);
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
    put32(out, static_cast<std::uint32_t>(c.topDraws.size()));
    put32(out, static_cast<std::uint32_t>(c.bottomDraws.size()));
    putDraws(out, c.topDraws);
    putDraws(out, c.bottomDraws);
    for (const float sum : c.sums) {
        put32(out, floatBits(sum));
    }
    put32(out, checksum(out.data(), out.size()));
    return writeFileSafely(path, [&](std::FILE* file) {
        return std::fwrite(out.data(), 1, out.size(), file) == out.size();
    });
}

std::string readCheckpoint(const std::string& path, Checkpoint& c) {
    const std::string named = "checkpoint '" + path + "'";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "cannot read " + named + ": " + std::strerror(errno != 0 ? errno : EIO);
    }
    std::vector<std::uint8_t> bytes;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.insert(bytes.end(), buffer, buffer + in.gcount());
        if (bytes.size() > kLargest) {
            return "'" + path + "' is not a pathtracer checkpoint (far too large)";
        }
    }
    if (in.bad()) {
        return "cannot read " + named + ": " + std::strerror(errno != 0 ? errno : EIO);
    }
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return "'" + path + "' is not a pathtracer checkpoint";
    }
    if (bytes.size() < 12) {
        return named + " is truncated (" + std::to_string(bytes.size()) + " bytes)";
    }
    Reader read(bytes);
    const std::uint32_t version = read.u32();
    if (version != Checkpoint::kVersion) {
        return named + " is of format version " + std::to_string(version) +
               "; this program reads version " + std::to_string(Checkpoint::kVersion);
    }
    if (bytes.size() < kHeaderBytes + 8) {
        return named + " is truncated (" + std::to_string(bytes.size()) + " bytes)";
    }
    c.width = read.u32();
    c.height = read.u32();
    if (c.width > 65536 || c.height > 65536) {
        return named + " is corrupted (a picture of " + std::to_string(c.width) + "x" +
               std::to_string(c.height) + ")";
    }
    const std::uint32_t mode = read.u32();
    c.frames = read.u64();
    for (std::uint32_t& word : c.generator) {
        word = read.u32();
    }
    const std::uint64_t top = read.u32();
    const std::uint64_t bottom = read.u32();
    const std::uint64_t expected = kHeaderBytes + 8 + 2 * (top + bottom) +
                                   4 * 3 * std::uint64_t{c.width} * c.height + kChecksumBytes;
    if (bytes.size() < expected) {
        return named + " is truncated (" + std::to_string(bytes.size()) + " bytes of " +
               std::to_string(expected) + ")";
    }
    const std::size_t body = bytes.size() - kChecksumBytes;
    std::uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) {
        stored |= static_cast<std::uint32_t>(bytes[body + i]) << (8 * i);
    }
    if (bytes.size() != expected || checksum(bytes.data(), body) != stored) {
        return named + " is corrupted (its checksum does not match its contents)";
    }
    if (mode > 1) {
        return named + " is corrupted (unknown mode " + std::to_string(mode) + ")";
    }
    c.sequential = mode == 0;
    c.topDraws.resize(top);
    c.bottomDraws.resize(bottom);
    for (std::uint16_t& d : c.topDraws) {
        d = read.u16();
    }
    for (std::uint16_t& d : c.bottomDraws) {
        d = read.u16();
    }
    c.sums.resize(3 * std::size_t{c.width} * c.height);
    for (float& sum : c.sums) {
        const std::uint32_t bits = read.u32();
        std::memcpy(&sum, &bits, sizeof sum);
    }
    return {};
}
