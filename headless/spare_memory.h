// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// Memory set aside, as descriptors are (spare_descriptors.h), for work that must not fail for
// want of it: the final saves of a render under a memory limit. What a limit refuses is address
// space (`ulimit -v`) or memory committed (strict overcommit), and both count a private mapping
// from the moment it is made, written or not; so the mapping is never written, and costs neither
// page faults nor memory while it is held. (Written through, 16 MB took 40-140 ms of page faults
// at start-up on a busy 2-core virtual machine; mapped, 0.02 ms.) A memory cgroup counts only
// pages written, but it does not refuse an allocation: it reclaims, or ends the program.
class SpareMemory {
  public:
    SpareMemory() = default;
    ~SpareMemory() { giveBack(); }
    SpareMemory(const SpareMemory&) = delete;
    SpareMemory& operator=(const SpareMemory&) = delete;

    // Sets aside `bytes` in place of what was held: false, with nothing held, when the system
    // will not map them.
    bool take(std::size_t bytes);
    void giveBack();

  private:
    void* mapping_ = nullptr;
    std::size_t bytes_ = 0;
};
