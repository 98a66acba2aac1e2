// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "scene/vec3.h"

// The grid coordinate of one random draw: ((r mod 10) * 2 - 10) / 10, one of -1, -0.8 ... 0.8.
inline float gridCoordinate(int draw) {
    return static_cast<float>(draw % 10 * 2 - 10) / 10.0f;
}

// The index of the grid point of three consecutive draws, which give z, y and x in that order.
// Draws are never negative.
inline int gridIndex(int zDraw, int yDraw, int xDraw) {
    const auto digit = [](int draw) { return static_cast<unsigned>(draw) % 10u; };
    return static_cast<int>(digit(zDraw) * 100u + digit(yDraw) * 10u + digit(xDraw));
}

// A grid point normalised in single precision with a double-precision reciprocal square root.
// About one point in eight comes out with a squared length just above 1 and is rejected (drawn
// again), and so is the all-zero point, which has no direction.
struct GridDirection {
    Vec3 dir;
    bool rejected;
};
GridDirection normaliseGridPoint(float x, float y, float z);

// Every grid point's normalised direction and fate, by gridIndex. There are only 1000 grid
// points, so each bounce looks its direction up instead of normalising it again.
struct BounceTable {
    Vec3 dir[1000];
    bool rejected[1000];
    // The same fates as bits, set where accepted: bit i % 32 of word i / 32 (for vector lookups).
    std::uint32_t acceptedBits[32];
};
extern const BounceTable gBounceTable;
