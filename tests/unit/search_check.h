// SPDX-License-Identifier: MIT
#pragma once

#include <gtest/gtest.h>

#include "scene/scene.h"
#include "test_support.h"
#include "tracer/fast_paths.h"
#include "tracer/packed_scene.h"
#include "tracer/plain_search.h"

// The packed search finds the shape the plain one finds in `shapes`, at the same distance to
// the bit.
inline void expectSameClosestHit(const PackedScene& packed, const Vec3& origin, const Vec3& dir) {
    float tRef = 0.0f;
    const Shape* ref = findClosestShape(origin, dir, tRef, false);
    float tFast = 0.0f;
    const int fast = packedClosestHit(packed, origin, dir, tFast);
    ASSERT_EQ(fast, ref == nullptr ? -1 : static_cast<int>(ref - shapes.data()))
        << origin.x << " " << origin.y << " " << origin.z << " -> " << dir.x << " " << dir.y << " "
        << dir.z;
    ASSERT_EQ(floatBits(tFast), floatBits(tRef));
}
