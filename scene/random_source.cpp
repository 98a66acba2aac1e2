// SPDX-License-Identifier: MIT
#include "scene/random_source.h"

RandomSource gRandom;

void RandomSource::reseed(unsigned seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_.reseed(seed);
    ++generation_;
}

unsigned RandomSource::take(std::int32_t* out, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_.fill(out, count);
    return generation_;
}

unsigned RandomSource::generation() {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

RandomSequence::State RandomSource::state() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequence_.state();
}

void RandomSource::setState(const RandomSequence::State& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_.setState(state);
}
