// SPDX-License-Identifier: MIT
#include "headless/render_state.h"

#include "frame/frame.h"
#include "frame/image.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"

CheckpointLimits renderCheckpointLimits() {
    CheckpointLimits limits;
    limits.width = kWidth;
    limits.height = kHeight;
    limits.mostFrames = kMaxSamples;
    // What a stream holds, and in checkpoints of earlier versions up to 1,024 runs more for a
    // band (docs/checkpoint-format.md).
    limits.mostHeldBounces = DrawStream::kMostHeldNow + std::size_t{1024} * DrawStream::kTriplesPerRun;
    limits.bounceDrawn = [](std::uint16_t d) { return d < 1000 && !gBounceTable.rejected[d]; };
    return limits;
}

Checkpoint currentCheckpoint(bool sequential) {
    Checkpoint c;
    c.width = kWidth;
    c.height = kHeight;
    c.sequential = sequential;
    c.frames = static_cast<std::uint64_t>(gSamples);
    const DrawState draws = drawState();
    c.generator = draws.generator;
    c.heldDraws = draws.held;
    c.sums.resize(3 * static_cast<std::size_t>(kPixelCount));
    for (int i = 0; i < kPixelCount; ++i) {
        c.sums[3 * i + 0] = gAccumColor1[i].x;
        c.sums[3 * i + 1] = gAccumColor1[i].y;
        c.sums[3 * i + 2] = gAccumColor1[i].z;
    }
    return c;
}

void restoreCheckpoint(const Checkpoint& c) {
    for (int i = 0; i < kPixelCount; ++i) {
        gAccumColor1[i] = makeVec3(c.sums[3 * i], c.sums[3 * i + 1], c.sums[3 * i + 2]);
    }
    gSamples = static_cast<int>(c.frames);
    setDrawState({c.generator, c.heldDraws});
}
