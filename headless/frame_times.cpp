// SPDX-License-Identifier: MIT
#include "headless/frame_times.h"

#include <algorithm>
#include <cmath>

namespace {

// A time t >= 1 ns is m * 2^e with m in [0.5, 1); its bin is e * kSteps + (m - 0.5) * 2 kSteps.
// Times below 1 ns share bin 0. A 64-bit count of nanoseconds has e <= 64.
constexpr int kSteps = 1024;
constexpr int kBins = 65 * kSteps;

int binOf(std::int64_t ns) {
    if (ns < 1) {
        return 0;
    }
    int exponent = 0;
    const double mantissa = std::frexp(static_cast<double>(ns), &exponent);
    const int step = std::min(kSteps - 1, static_cast<int>((mantissa - 0.5) * 2 * kSteps));
    return exponent * kSteps + step;
}

double middleOf(int bin) {
    if (bin == 0) {
        return 0.0;
    }
    const int exponent = bin / kSteps;
    const double mantissa = 0.5 + (bin % kSteps + 0.5) / (2.0 * kSteps);
    return std::ldexp(mantissa, exponent);
}

} // namespace

FrameTimes::FrameTimes() : bins_(kBins, 0) {}

void FrameTimes::add(std::chrono::nanoseconds time) {
    const std::int64_t ns = time.count();
    ++bins_[binOf(ns)];
    fastestNs_ = count_ == 0 ? ns : std::min(fastestNs_, ns);
    slowestNs_ = count_ == 0 ? ns : std::max(slowestNs_, ns);
    ++count_;
    totalSeconds_ += static_cast<double>(ns) / 1e9;
}

double FrameTimes::timeOfRankNs(std::uint64_t rank) const {
    std::uint64_t below = 0;
    for (int bin = 0; bin < kBins; ++bin) {
        below += bins_[bin];
        if (rank < below) {
            return std::clamp(middleOf(bin), static_cast<double>(fastestNs_),
                              static_cast<double>(slowestNs_));
        }
    }
    return 0.0;
}

double FrameTimes::medianMs() const {
    if (count_ == 0) {
        return 0.0;
    }
    const double ns = count_ % 2 == 1
                          ? timeOfRankNs(count_ / 2)
                          : (timeOfRankNs(count_ / 2 - 1) + timeOfRankNs(count_ / 2)) / 2.0;
    return ns / 1e6;
}

double FrameTimes::fastestMs() const {
    return static_cast<double>(fastestNs_) / 1e6;
}

double FrameTimes::slowestMs() const {
    return static_cast<double>(slowestNs_) / 1e6;
}

double FrameTimes::meanMs() const {
    return count_ == 0 ? 0.0 : totalSeconds_ * 1e3 / static_cast<double>(count_);
}
