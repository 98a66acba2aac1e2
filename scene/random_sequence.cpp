// SPDX-License-Identifier: MIT
#include "scene/random_sequence.h"

#include <algorithm>
#include <cstring>

#include "scene/cpu_clones.h"

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

namespace {

// RandomSequence::fill on its history, four words at a time as four lanes of a vector (compiled
// to the vectors every processor of the architecture has, or to plain code where it has none;
// integer sums wrap alike in any order).
//
// With y[m] = w[i+m-31] for m = 0 to 3, all known, w[i+m] = w[i+m-3] + y[m]: for m < 3 the word
// three back is known, and w[i+3] = w[i] + y[3] = w[i-3] + y[0] + y[3]. So the four words are
// w[i-3], w[i-2], w[i-1] and w[i-3] again, plus y, plus y moved up three lanes.
//
// y straddles two of the fours worked out eight and seven steps before, which the loop keeps in
// registers: read back from memory, it would span two stores still on their way to the cache,
// which the processor cannot forward, and wait for both.
PATHTRACER_CLONED_FOR_CPUS void fillFrom(std::uint32_t* history, std::int32_t* out, int count) {
    using Words = std::uint32_t __attribute__((vector_size(16)));
    constexpr int kDegree = RandomSequence::kDegree;
    constexpr int kSteps = 8;           // fours kept: the 32 words before the next
    constexpr int kWords = 4 * kSteps;  // worked out per round of the loop
    constexpr int kChunk = 32 * kWords; // worked out per pass
    // The sequence's word j at words[j + 1], from the oldest of the history (j = 0) on; words[0]
    // is a word before it, which no sum takes. Up to 31 words past the n wanted are worked out
    // too, and not used.
    std::uint32_t words[1 + kDegree + kChunk];
    const Words zero = {};
    while (count > 0) {
        const int n = count < kChunk ? count : kChunk;
        words[0] = 0;
        std::copy(history, history + kDegree, words + 1);
        // fours[s]: the four words step s of the round before worked out (eight steps back).
        Words fours[kSteps];
        for (int s = 0; s < kSteps; ++s) {
            std::memcpy(&fours[s], words + 4 * s, sizeof fours[s]);
        }
        Words last = fours[kSteps - 1];
        for (int k = 0; k < n; k += kWords) {
#pragma GCC unroll 8
            for (int s = 0; s < kSteps; ++s) {
                const Words y =
                    __builtin_shufflevector(fours[s], fours[(s + 1) % kSteps], 1, 2, 3, 4);
                last = __builtin_shufflevector(last, last, 1, 2, 3, 1) +
                       (y + __builtin_shufflevector(y, zero, 4, 4, 4, 0));
                fours[s] = last;
                std::memcpy(words + 1 + kDegree + k + 4 * s, &last, sizeof last);
            }
        }
        for (int i = 0; i < n; ++i) {
            out[i] = static_cast<std::int32_t>(words[1 + kDegree + i] >> 1);
        }
        std::copy(words + 1 + n, words + 1 + n + kDegree, history);
        out += n;
        count -= n;
    }
}

} // namespace

void RandomSequence::fill(std::int32_t* out, int count) {
    fillFrom(history_, out, count);
}

namespace {

// Polynomials over the 32-bit words, modulo p(x) = x^31 - x^28 - 1: coefficient i of x^i.
using Poly = std::array<std::uint32_t, RandomSequence::kDegree>;

// a * b mod p. The recurrence w[i+31] = w[i+28] + w[i] is x^d = x^(d-3) + x^(d-31) for
// d >= 31, applied from the top degree down; wrapping arithmetic is the words' own.
Poly multiply(const Poly& a, const Poly& b) {
    constexpr int n = RandomSequence::kDegree;
    std::uint32_t product[2 * n - 1] = {};
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            product[i + j] += a[i] * b[j];
        }
    }
    for (int d = 2 * n - 2; d >= n; --d) {
        product[d - 3] += product[d];
        product[d - n] += product[d];
    }
    Poly r;
    std::copy(product, product + n, r.begin());
    return r;
}

// x^(2^k) mod p for every k < 64, each the square of the one before: a jump multiplies those
// of its count's bits.
const std::array<Poly, 64>& powersOfTwo() {
    static const std::array<Poly, 64> powers = [] {
        std::array<Poly, 64> table{};
        table[0][1] = 1;
        for (std::size_t k = 1; k < table.size(); ++k) {
            table[k] = multiply(table[k - 1], table[k - 1]);
        }
        return table;
    }();
    return powers;
}

// a * x mod p.
Poly timesX(const Poly& a) {
    constexpr int n = RandomSequence::kDegree;
    Poly r;
    r[0] = a[n - 1];
    for (int i = 1; i < n; ++i) {
        r[i] = a[i - 1];
    }
    r[n - 3] += a[n - 1];
    return r;
}

} // namespace

void RandomSequence::skip(std::uint64_t count) {
    // Short skips are cheaper run through.
    constexpr std::uint64_t kShort = 4096;
    if (count <= kShort) {
        std::int32_t scratch[kShort];
        fill(scratch, static_cast<int>(count));
        return;
    }
    // With the history h[j] = w[m + j] (j < 31), every later word w[m + t] is the sum of
    // c[j] h[j] where c holds the coefficients of x^t mod p. The new history, t = count + j,
    // needs x^count mod p and its next 30 multiples by x.
    const std::array<Poly, 64>& powers = powersOfTwo();
    Poly power = powers[__builtin_ctzll(count)];
    for (std::uint64_t bits = count & (count - 1); bits != 0; bits &= bits - 1) {
        power = multiply(power, powers[__builtin_ctzll(bits)]);
    }
    std::uint32_t next[kDegree];
    for (int j = 0; j < kDegree; ++j) {
        std::uint32_t word = 0;
        for (int i = 0; i < kDegree; ++i) {
            word += power[i] * history_[i];
        }
        next[j] = word;
        power = timesX(power);
    }
    std::memcpy(history_, next, sizeof(next));
}

void RandomSequence::rewind(std::uint64_t count) {
    // w[n] = w[n-31] + w[n-3] gives each word from the two after it: w[n-31] = w[n] - w[n-3].
    // The history is extended backwards a block at a time; its oldest 31 words are the new one.
    constexpr int kChunk = 1024;
    std::uint32_t words[kChunk + kDegree];
    while (count > 0) {
        const int n = count < kChunk ? static_cast<int>(count) : kChunk;
        std::copy(history_, history_ + kDegree, words + n);
        for (int i = n - 1; i >= 0; --i) {
            words[i] = words[i + kDegree] - words[i + kDegree - kSeparation];
        }
        std::copy(words, words + kDegree, history_);
        count -= static_cast<std::uint64_t>(n);
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
