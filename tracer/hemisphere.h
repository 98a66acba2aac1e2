#pragma once

#include "scene/vec3.h"

// The bounce direction: a normalised point of the 10 x 10 x 10 grid {-1, -0.8, ..., 0.8}^3 drawn
// from the process-wide random generator (z first, then y, then x), mirrored onto the side that
// `normal` points to. Draws whose normalised squared length rounds above 1, and the all-zero
// draw, are drawn again.
Vec3 randomRayInHemisphere(const Vec3& normal);

// The grid coordinate of one random draw: ((r mod 10) * 2 - 10) / 10.
inline float gridCoordinate(int draw) { return static_cast<float>(draw % 10 * 2 - 10) / 10.0f; }

// The normalised grid point and whether it is rejected (drawn again).
struct GridDirection {
    Vec3 dir;
    bool rejected;
};
GridDirection normaliseGridPoint(float x, float y, float z);
