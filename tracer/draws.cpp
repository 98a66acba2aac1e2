#include "tracer/draws.h"

#include "tracer/bounce_table.h"

void DrawStream::syncWithSource() {
    if (source_->generation() != generation_) {
        next_ = end_ = 0;
    }
}

void DrawStream::refill() {
    std::int32_t draws[3 * kTriplesPerRun];
    std::uint8_t digits[3 * kTriplesPerRun];
    next_ = end_ = 0;
    while (end_ == 0) {  // a run with no accepted triple is all but impossible, but allowed
        generation_ = source_->take(draws, 3 * kTriplesPerRun);
        for (int i = 0; i < 3 * kTriplesPerRun; ++i) {
            digits[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(draws[i]) % 10u);
        }
        for (int i = 0; i < 3 * kTriplesPerRun; i += 3) {
            const int index = digits[i] * 100 + digits[i + 1] * 10 + digits[i + 2];
            bounces_[end_] = static_cast<std::uint16_t>(index);
            end_ += gBounceTable.rejected[index] ? 0 : 1;
        }
    }
}
