#pragma once

#include <cstdint>
#include "scene/shared_random.h"

// One thread's supply of bounce draws. A bounce takes three draws (z, y, then x grid digit);
// draws whose grid point is rejected are skipped here, so the stream hands out only the indices
// (100 z + 10 y + x digit) of accepted grid points, in sequence order. Values are taken from the
// shared generator in runs of whole triples and are used in order, none dropped.
class DrawStream {
public:
    explicit DrawStream(SharedRandom& source) : source_(&source) {}

    // The grid index of the next accepted bounce.
    int nextBounce() {
        if (next_ == end_) {
            refill();
        }
        return bounces_[next_++];
    }

    // Drops values left from an earlier seeding of the generator.
    void syncWithSource();

    static constexpr int kTriplesPerRun = 1024;

private:
    void refill();

    SharedRandom* source_;
    unsigned generation_ = 0;
    int next_ = 0;
    int end_ = 0;
    std::uint16_t bounces_[kTriplesPerRun];
};
