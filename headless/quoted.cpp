// SPDX-License-Identifier: MIT
#include "headless/quoted.h"

#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at `s[i]` (1 to 4), or 0 where there is none:
// overlong forms, surrogates and code points past U+10FFFF are not well formed.
std::size_t utf8Length(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

// Whether the character of `length` bytes at `s[i]` is a control character: C0, DEL, or C1
// (U+0080 to U+009F, which terminals take as escapes too).
bool isControl(const std::string& s, std::size_t i, std::size_t length) {
    const auto lead = static_cast<unsigned char>(s[i]);
    return (length == 1 && (lead < 0x20 || lead == 0x7F)) ||
           (length == 2 && lead == 0xC2 && static_cast<unsigned char>(s[i + 1]) <= 0x9F);
}

std::string escaped(unsigned char c) {
    switch (c) {
    case '\a':
        return "\\a";
    case '\b':
        return "\\b";
    case '\t':
        return "\\t";
    case '\n':
        return "\\n";
    case '\v':
        return "\\v";
    case '\f':
        return "\\f";
    case '\r':
        return "\\r";
    case 0x1B:
        return "\\e";
    default: {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        return hex;
    }
    }
}

} // namespace

std::string quotedName(const std::string& name) {
    std::string shown = "$'";
    bool plain = true;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = utf8Length(name, i);
        if (length == 0 || isControl(name, i, length)) {
            // Each byte of a control character, or the one byte that is not UTF-8, escaped.
            const std::size_t bytes = length == 0 ? 1 : length;
            for (std::size_t k = 0; k < bytes; ++k) {
                shown += escaped(static_cast<unsigned char>(name[i + k]));
            }
            plain = false;
            i += bytes;
            continue;
        }
        if (name[i] == '\'' || name[i] == '\\') {
            shown += '\\';
        }
        shown.append(name, i, length);
        i += length;
    }
    return plain ? "'" + name + "'" : shown + "'";
}
