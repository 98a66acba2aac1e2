// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>

// A frame's later parts, taken by either worker as it is free: each part by exactly one, in
// increasing order.
class PartClaims {
  public:
    // Parts [0, parts) are free. Call while no worker takes any.
    void reset(int parts) {
        parts_ = parts;
        next_.store(0, std::memory_order_relaxed);
    }
    // The first free part, now taken, or -1 when none is left. (Only the count is shared: what a
    // part's worker writes is published by the part's own flag.)
    int claim() {
        const int index = next_.fetch_add(1, std::memory_order_relaxed);
        return index < parts_ ? index : -1;
    }

  private:
    std::atomic<int> next_{0};
    int parts_ = 0;
};
