// SPDX-License-Identifier: MIT
#include "scene/random_sequence.h"

#include <algorithm>

void RandomSequence::reseed(unsigned seed) {
    // The generator's seeding: a Park-Miller sequence fills the state (seed 0 counts as 1), and
    // the first 310 outputs are discarded.
    std::int32_t state[kDegree];
    std::int32_t word = static_cast<std::int32_t>(seed == 0 ? 1 : seed);
    state[0] = word;
    for (int i = 1; i < kDegree; ++i) {
        const long hi = word / 127773;
        const long lo = word % 127773;
        word = static_cast<std::int32_t>(16807 * lo - 2836 * hi);
        if (word < 0) {
            word += 2147483647;
        }
        state[i] = word;
    }
    // The library's ring starts updating at position 3 (its front pointer), so that is the
    // oldest word.
    for (int i = 0; i < kDegree; ++i) {
        history_[i] = static_cast<std::uint32_t>(state[(i + kSeparation) % kDegree]);
    }
    std::int32_t discard[10 * kDegree];
    fill(discard, 10 * kDegree);
}

void RandomSequence::fill(std::int32_t* out, int count) {
    // Each word depends on the one three places back, so three running sums are carried in
    // registers; the word 31 places back comes from the history.
    constexpr int kChunk = 1023; // whole steps of three
    std::uint32_t words[kDegree + kChunk];
    while (count > 0) {
        const int n = count < kChunk ? count : kChunk;
        std::copy(history_, history_ + kDegree, words);
        std::uint32_t a = words[kDegree - 3];
        std::uint32_t b = words[kDegree - 2];
        std::uint32_t c = words[kDegree - 1];
        for (int i = kDegree; i < kDegree + n; i += 3) {
            a += words[i - kDegree];
            b += words[i + 1 - kDegree];
            c += words[i + 2 - kDegree];
            words[i] = a;
            words[i + 1] = b;
            words[i + 2] = c;
        }
        for (int i = 0; i < n; ++i) {
            out[i] = static_cast<std::int32_t>(words[kDegree + i] >> 1);
        }
        std::copy(words + n, words + n + kDegree, history_);
        out += n;
        count -= n;
    }
}

RandomSequence::State RandomSequence::state() const {
    State state;
    std::copy(history_, history_ + kDegree, state.begin());
    return state;
}

void RandomSequence::setState(const State& state) {
    std::copy(state.begin(), state.end(), history_);
}
