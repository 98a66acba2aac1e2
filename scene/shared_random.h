// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <mutex>

#include "scene/random_sequence.h"

// The process-wide random generator: one rand()-compatible sequence that every thread draws
// from, a run of consecutive values at a time under a lock.
class SharedRandom {
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

extern SharedRandom gRandom;
