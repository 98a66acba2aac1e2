// SPDX-License-Identifier: MIT
#pragma once

#include "frame/huge_pages.h"
#include "tracer/packed_scene.h"
#include "tracer/path_tracer.h"

// What every frame traces against: the shapes packed for bounce searches, and the first hit
// through each pixel, which is the same every frame because the eye never moves.
struct FrameScene {
    PackedScene packed;
    HugePageVector<PathStart> primaryHits; // row-major, one per pixel
};

// The frame scene for the current `shapes`, eye point and instruction set, rebuilt only when one
// of them has changed since the last call (planes' eye distances must be current: call after
// precalcFrame).
const FrameScene& prepareFrameScene();
