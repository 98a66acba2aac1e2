#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Two workers (top and bottom band) as the window does, or both bands one after the other on the
// calling thread, which makes the draws and so the picture repeatable.
enum class FrameMode { TwoWorkers, Sequential };

constexpr int kBandSplitRow = 240;

struct FrameStats {
    std::chrono::nanoseconds tracing;  // starting the workers, tracing, joining them
    std::uint64_t segments;            // path segments traced
};

// Begins a frame (sample count, plane precomputation) and traces one sample per pixel.
FrameStats traceFrame(FrameMode mode);

// "Tracing time: N ms." with N the whole milliseconds, truncated.
std::string tracingTimeLine(std::chrono::nanoseconds tracing);
