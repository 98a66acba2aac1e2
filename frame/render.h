// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "scene/vec3.h"
#include "tracer/path_tracer.h"

class DrawStream;
struct FrameScene;
class PackedScene;

// The unit direction from the eye through pixel (row, column). The eye looks along +z with a
// focal distance of 512 pixels; scene +y is shown toward the bottom of the window.
Vec3 primaryDirection(int row, int column);

// The first hit of the ray from the eye through pixel (row, column), found by the packed search
// of `scene` (built from `shapes`); shape -1 when it hits nothing. The plain search from the eye
// (findClosestShape with its planes' eye distances) finds the same shape at the same distance,
// since each plane's eye distance is the general formula's value for the eye; with vector code
// it takes less than a third of the instructions, which a short render pays at its start.
PathStart primaryHit(const PackedScene& scene, int row, int column);

// Traces one sample for every pixel of rows [first, end), one pixel after another, and adds it
// into the accumulators. Returns the number of path segments traced.
std::uint64_t render(int first, int end, const FrameScene& scene, DrawStream& draws);

// Traces pixels [first, first + count) of the row-major image the same way, until the draws'
// stop (DrawStream::tryReserve): returns the pixels traced, and adds their segments to
// `segments`.
int renderUntilStop(int first, int count, const FrameScene& scene, DrawStream& draws,
                    std::uint64_t& segments);
