// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/display.h"
#include "frame/image.h"
#include "scene/random_sequence.h"
#include "scene/scene.h"
#include "tracer/bounce_table.h"

// A fresh scene, generator and image, as the programs have them before their first frame.
inline void resetWorld() {
    shapes.clear();
    initShapes();
    clearImage();
}

// FNV-1a over the shown picture as R, G, B bytes, row-major: the pixel bytes of a P6 file.
inline std::uint64_t pictureHash() {
    std::uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < kPixelCount; ++i) {
        const std::uint32_t word = meanPixelWord(i);
        for (int shift : {16, 8, 0}) {
            hash ^= (word >> shift) & 0xFFu;
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

inline std::uint32_t floatBits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// The grid index of the next accepted bounce, drawn the plain way: three values at a time until
// a triple is not rejected. `draws` counts the values used.
inline int nextAcceptedIndex(RandomSequence& sequence, int* draws = nullptr) {
    int index;
    do {
        const int z = sequence.next();
        const int y = sequence.next();
        index = gridIndex(z, y, sequence.next());
        if (draws != nullptr) {
            *draws += 3;
        }
    } while (gBounceTable.rejected[index]);
    return index;
}
