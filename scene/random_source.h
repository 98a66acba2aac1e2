// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <mutex>

#include "scene/random_sequence.h"

// A rand()-compatible sequence that any thread may draw from, a run of consecutive values at a
// time under a lock. gRandom is the program's; each draw stream of a two-worker frame has one of
// its own, set to the stretch of the sequence it traces.
class RandomSource {
  public:
    void reseed(unsigned seed);
    // Hands the caller the next `count` values of the sequence; returns the seeding generation
    // they belong to.
    unsigned take(std::int32_t* out, int count);
    unsigned generation();
    // The sequence's state, to carry it on later (setState keeps the generation).
    RandomSequence::State state();
    void setState(const RandomSequence::State& state);

  private:
    std::mutex mutex_;
    RandomSequence sequence_;
    unsigned generation_ = 0;
};

extern RandomSource gRandom;
