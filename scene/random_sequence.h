// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstdint>

// The C library's rand() sequence (glibc's default additive feedback generator, r[i] =
// r[i-31] + r[i-3] over 32-bit words, each output the word shifted right by one), computed
// without the library's lock and many values at a time. Seeded with s, it yields exactly what
// rand() yields after srand(s).
class RandomSequence {
  public:
    explicit RandomSequence(unsigned seed = 1) { reseed(seed); }

    void reseed(unsigned seed);

    // The next `count` values of the sequence, each in [0, 2^31).
    void fill(std::int32_t* out, int count);

    // Passes over the next `count` values as if they had been taken, in time logarithmic in
    // `count`.
    void skip(std::uint64_t count);

    // Goes back over the last `count` values, as if they had not been taken yet, in time
    // linear in `count`.
    void rewind(std::uint64_t count);

    // The whole state: the last 31 words, oldest first. A sequence given another's state goes on
    // with the very values the other would give.
    static constexpr int kDegree = 31;
    using State = std::array<std::uint32_t, kDegree>;
    State state() const;
    void setState(const State& state);

    std::int32_t next() {
        std::int32_t value;
        fill(&value, 1);
        return value;
    }

  private:
    static constexpr int kSeparation = 3;
    std::uint32_t history_[kDegree]; // the last 31 words, oldest first
};
