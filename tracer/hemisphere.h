// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <cstring>

#include "scene/vec3.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"

// x * -1 when `signBit` is set, else x: the sign bit flipped without a branch (exact for every
// number; the bounce directions are all finite).
inline float withSignFlipped(float x, std::uint32_t signBit) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits ^= signBit;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// A drawn direction mirrored when `side` (normal . direction) is negative: onto the side the
// normal points to, kept as drawn when perpendicular. Which side is a coin toss for the branch
// predictor, so the mirroring is done with bits: mirrorFlip gives the sign bit to flip in every
// component, 0 or 0x80000000.
inline std::uint32_t mirrorFlip(float side) {
    return static_cast<std::uint32_t>(side < 0.0f) << 31;
}
inline Vec3 mirrored(const Vec3& dir, float side) {
    const std::uint32_t flip = mirrorFlip(side);
    return makeVec3(withSignFlipped(dir.x, flip), withSignFlipped(dir.y, flip),
                    withSignFlipped(dir.z, flip));
}

// The bounce direction off a surface with this normal: the next accepted grid direction,
// mirrored onto the side the normal points to. Always inlined, so that no copy compiled for a
// wider instruction set (the fast tracer's second build, CMakeLists.txt) is kept out of line.
inline __attribute__((always_inline)) Vec3 randomRayInHemisphere(const Vec3& normal, DrawStream& draws) {
    const Vec3& dir = gBounceTable.dir[draws.nextBounce()];
    return mirrored(dir, dot(normal, dir));
}
