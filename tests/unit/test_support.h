// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "frame/display.h"
#include "frame/frame_plan.h"
#include "frame/image.h"
#include "scene/random_sequence.h"
#include "scene/scene.h"
#include "scene/random_source.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"

// Under an emulator (a cross-built test run by qemu-user) a frame takes seconds: the longest
// tests trace fewer rays and frames there.
#ifdef PATHTRACER_EMULATED
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

// How many of a test's random rays, or one in how many pixels, it traces here: all of them
// natively, an eighth under an emulator, which runs each instruction set's code on its
// architecture, where what differs differs for many rays alike. Each case a test sets up is
// still met by thousands of rays, and each set's golden pictures still trace every pixel.
constexpr int raysHere(int count) {
    return kEmulated ? count / 8 : count;
}
constexpr int pixelStrideHere(int stride) {
    return kEmulated ? stride * 8 - 1 : stride; // (odd, so that every column comes round)
}

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

// The accepted bounces of the stretches of the sequence that starts at `origin`, in order.
inline std::vector<std::uint16_t> bouncesOf(const RandomSequence::State& origin,
                                            const std::vector<DrawStretch>& stretches) {
    std::vector<std::uint16_t> bounces;
    for (const DrawStretch& stretch : stretches) {
        RandomSequence sequence;
        sequence.setState(origin);
        sequence.skip(stretch.from);
        for (std::uint64_t at = stretch.from; at < stretch.to; at += 3) {
            const int z = sequence.next();
            const int y = sequence.next();
            const int index = gridIndex(z, y, sequence.next());
            if (!gBounceTable.rejected[index]) {
                bounces.push_back(static_cast<std::uint16_t>(index));
            }
        }
    }
    return bounces;
}

// Draws that hand out exactly the bounces given, for a replay with the plain tracer: after it,
// usedAll() and tookNoMore() tell whether it used every one of them and none beyond.
class ReplayDraws {
  public:
    explicit ReplayDraws(const std::vector<std::uint16_t>& bounces) : draws_(none_) {
        none_.reseed(1);
        untouched_ = none_.state();
        draws_.syncWithSource();
        draws_.holdBounces(bounces);
    }
    DrawStream& draws() { return draws_; }
    bool usedAll() const { return draws_.heldBounces().empty(); }
    bool tookNoMore() { return none_.state() == untouched_; }

  private:
    RandomSource none_;
    RandomSequence::State untouched_{};
    DrawStream draws_;
};
