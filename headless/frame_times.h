// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

// The tracing times of any number of frames in a fixed amount of memory: a histogram whose bins
// are 1/1024 of a power of two wide, so the median it gives is within 0.05 % of the true one,
// whatever the count, and never outside the fastest and slowest times, which are kept exactly
// (so one frame's median is its time).
class FrameTimes {
  public:
    FrameTimes();

    void add(std::chrono::nanoseconds time);
    std::uint64_t count() const { return count_; }
    // In milliseconds; 0 when no frame was added.
    double medianMs() const;
    double fastestMs() const;
    double slowestMs() const;
    double meanMs() const;
    double totalSeconds() const { return totalSeconds_; }

  private:
    // The middle of the bin holding the `rank`-th time (from 0) in order.
    double timeOfRankNs(std::uint64_t rank) const;

    std::vector<std::uint64_t> bins_;
    std::uint64_t count_ = 0;
    std::int64_t fastestNs_ = 0;
    std::int64_t slowestNs_ = 0;
    double totalSeconds_ = 0.0;
};
