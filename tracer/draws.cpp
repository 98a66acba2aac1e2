#include "tracer/draws.h"

#include <algorithm>

#include "tracer/bounce_table.h"

DrawStream::DrawStream(SharedRandom& source) : source_(&source), ahead_(kRunsAhead) {}

void DrawStream::syncWithSource() {
    const unsigned generation = source_->generation();
    std::lock_guard<std::mutex> lock(aheadMutex_);
    if (current_.generation != generation) {
        next_ = end_ = 0;
        current_.count = 0;
        current_.generation = generation;
    }
    while (aheadCount_ > 0 && ahead_[aheadFirst_].generation != generation) {
        aheadFirst_ = (aheadFirst_ + 1) % kRunsAhead;
        --aheadCount_;
    }
}

void DrawStream::takeRun(Run& run) {
    std::int32_t draws[3 * kTriplesPerRun];
    std::uint8_t digits[3 * kTriplesPerRun];
    run.count = 0;
    while (run.count == 0) { // a run with no accepted triple is all but impossible, but allowed
        run.generation = source_->take(draws, 3 * kTriplesPerRun);
        for (int i = 0; i < 3 * kTriplesPerRun; ++i) {
            digits[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(draws[i]) % 10u);
        }
        for (int i = 0; i < 3 * kTriplesPerRun; i += 3) {
            const int index = digits[i] * 100 + digits[i + 1] * 10 + digits[i + 2];
            run.bounces[run.count] = static_cast<std::uint16_t>(index);
            run.count += gBounceTable.rejected[index] ? 0 : 1;
        }
    }
}

bool DrawStream::takeRunAhead() {
    std::lock_guard<std::mutex> lock(aheadMutex_);
    if (aheadCount_ == kRunsAhead) {
        return false;
    }
    takeRun(ahead_[(aheadFirst_ + aheadCount_) % kRunsAhead]);
    ++aheadCount_;
    return true;
}

// Rare (once per 1 024 triples), so kept out of the path loop that inlines everything else.
// Bounces not yet used stay in front of the new run.
__attribute__((noinline)) void DrawStream::refill() {
    const int kept = end_ - next_;
    std::uint16_t rest[kMostReserved];
    std::copy(current_.bounces + next_, current_.bounces + end_, rest);
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        if (aheadCount_ > 0) {
            current_ = ahead_[aheadFirst_];
            aheadFirst_ = (aheadFirst_ + 1) % kRunsAhead;
            --aheadCount_;
        } else {
            takeRun(current_);
        }
    }
    std::copy_backward(current_.bounces, current_.bounces + current_.count,
                       current_.bounces + kept + current_.count);
    std::copy(rest, rest + kept, current_.bounces);
    next_ = 0;
    end_ = kept + current_.count;
}
