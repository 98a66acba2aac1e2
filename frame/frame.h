// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/frame_plan.h"
#include "frame/two_worker_frame.h"
#include "scene/random_sequence.h"

// Two workers as the window does, or both bands one after the other on the calling thread, which
// makes the draws and so the picture repeatable.
//
// A two-worker frame is one the top and bottom band's workers could have traced drawing from one
// generator (two_worker_frame.h says how the two threads share it).
enum class FrameMode { TwoWorkers, Sequential };

struct FrameStats {
    std::chrono::nanoseconds tracing; // starting the workers, tracing, joining them
    std::uint64_t segments;           // path segments traced
    bool retraced = false;            // part of the bottom band was traced a second time
};

// Samples per pixel after which the picture is left as it is. Up to here every sum of samples in
// [0, 1] is still exact enough in single precision for the shown mean to keep all its levels
// (a sum of ones stays exact to 2^24), and the sample count stays far from overflowing.
constexpr int kMaxSamples = 1 << 20;

// Begins a frame (sample count, plane precomputation) and traces one sample per pixel. Once
// every pixel holds kMaxSamples samples, nothing more is traced: the frame reports no tracing
// time and no segments, and the converged picture stays as it is.
// Throws std::bad_alloc when the first frame's buffers cannot be had, std::system_error when a
// worker cannot be started; the picture is then not whole.
FrameStats traceFrame(FrameMode mode);

// Called in a catch block around traceFrame: what stopped the frame, in a few words ("out of
// memory", "cannot start a worker thread: ..."). Any other exception is passed on.
std::string frameFailure();

// "Tracing time: N ms." with N the whole milliseconds, truncated.
std::string tracingTimeLine(std::chrono::nanoseconds tracing);

// What the frames so far leave the next ones besides the sums and the sample count (image.h):
// the generator's state and each band's bounces taken from it but not yet used. Set after
// initShapes (which seeds the generator), it carries a render on exactly where it was: a
// sequential render goes on with the very draws it would have taken. Read and set between
// frames only.
struct DrawState {
    RandomSequence::State generator{};
    std::vector<std::uint16_t> held; // bounces taken from the generator, not yet used
};
// A two-worker frame leaves no bounces held: the generator stands just after the frame's last
// value. Bounces held from before (a sequential frame, a state set here) are dropped by the next
// two-worker frame, which starts where the generator stands.
DrawState drawState();
void setDrawState(const DrawState& state);

// Which values of the sequence the last two-worker frame's bands used (two_worker_frame.h).
using FrameDraws = TwoWorkerFrame::Draws;
const FrameDraws& lastFrameDraws();

// The next two-worker frame follows this plan instead of its own, with these workers (for tests).
void setNextFramePlan(const FramePlan& plan,
                      TwoWorkerFrame::Workers workers = TwoWorkerFrame::Workers::Both);
