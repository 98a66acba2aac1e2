// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

// A line on standard error saying how far a render is ("frame 12 of 5000, 0:03 elapsed, about
// 4:05 left", cut to the terminal's width), redrawn in place a few times a second, when standard
// error is a terminal; nothing
// at all otherwise. Lines written to standard output go around it (above it when both are the
// same terminal), so neither garbles the other.
class Progress {
  public:
    explicit Progress(long long total);

    // Before a line is written to standard output: takes the progress line away.
    void beforeOutput();
    // Before a message is written to standard error: takes the progress line away.
    void beforeMessage();
    // After `done` frames: draws the line again (at most every quarter second, and at the last).
    void update(long long done);
    // Takes the line away for good.
    void finish();

  private:
    void draw(long long done);

    bool shown_;
    bool sharesTerminal_; // standard output is a terminal too
    bool drawn_ = false;
    long long total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};
