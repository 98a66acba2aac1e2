// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <vector>

#include <zlib.h>

// Makes a checkpoint's last four bytes the checksum of those before them (the format's CRC-32,
// little-endian), so that bytes changed on purpose reach the checks after the checksum. Shared by
// the tests and the checkpoint fuzzer; the scripts forge whole checkpoints with
// forge_checkpoint (script_support.sh).
inline void rechecksum(std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 4) {
        return;
    }
    const std::size_t body = bytes.size() - 4;
    const auto crc = static_cast<std::uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(body)));
    for (int i = 0; i < 4; ++i) {
        bytes[body + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    }
}
