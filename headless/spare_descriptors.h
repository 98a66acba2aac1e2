// SPDX-License-Identifier: MIT
#pragma once

#include <vector>

// File descriptors set aside, as memory is, for work that must not fail for want of them: the
// final saves of a render under a low `ulimit -n`, which need a temporary file, its stream's
// copy and a folder or two at once beside the folders held. Taken before the first frame, so
// that a limit too low is told before any work is done; given back just before they are needed.
class SpareDescriptors {
  public:
    SpareDescriptors() = default;
    ~SpareDescriptors() { giveBack(); }
    SpareDescriptors(const SpareDescriptors&) = delete;
    SpareDescriptors& operator=(const SpareDescriptors&) = delete;

    // Sets aside `count` more: 0, or why not all could be had (EMFILE), with none kept.
    int take(int count);
    void giveBack();

  private:
    std::vector<int> held_;
};
