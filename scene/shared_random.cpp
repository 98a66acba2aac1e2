// SPDX-License-Identifier: MIT
#include "scene/shared_random.h"

SharedRandom gRandom;

void SharedRandom::reseed(unsigned seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_.reseed(seed);
    ++generation_;
}

unsigned SharedRandom::take(std::int32_t* out, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_.fill(out, count);
    return generation_;
}

unsigned SharedRandom::generation() {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

RandomSequence::State SharedRandom::state() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sequence_.state();
}

void SharedRandom::setState(const RandomSequence::State& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_.setState(state);
}
