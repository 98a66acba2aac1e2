// SPDX-License-Identifier: MIT
#pragma once

#include "headless/checkpoint.h"

// The render in progress as a checkpoint holds it: the sums, the frame count, the mode and the
// draws taken but not used.

// What a checkpoint of this program's render may hold: its picture size, at most kMaxSamples
// frames, at most what a band's draw stream can hold, and only bounces a render accepts.
CheckpointLimits renderCheckpointLimits();

// The render as it stands, between frames.
Checkpoint currentCheckpoint(bool sequential);

// Carries the render on from a checkpoint that readCheckpoint or parseCheckpoint accepted with
// renderCheckpointLimits(); after initShapes, between frames.
void restoreCheckpoint(const Checkpoint& checkpoint);
