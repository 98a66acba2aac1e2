// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdlib>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "frame/image.h"
#include "frame/render.h"
#include "scene/random_sequence.h"
#include "scene/scene.h"
#include "scene/random_source.h"
#include "fixtures.h"
#include "test_support.h"
#include "tracer/bounce_table.h"
#include "tracer/plain_search.h"
#include "tracer/draws.h"
#include "tracer/hemisphere.h"
#include "tracer/path_tracer.h"

namespace {

bool sameColor(const Vec3& a, float r, float g, float b) {
    return a.x == r && a.y == g && a.z == b;
}

// A supply of draws of its own, so that tests do not depend on each other's draws.
struct PrivateDraws {
    RandomSource source;
    DrawStream stream{source};
    explicit PrivateDraws(unsigned seed) { source.reseed(seed); }
};

} // namespace

class PackedClosestHit : public FreshWorld {};

TEST_F(PackedClosestHit, NothingHitLeavesTheFarBound) {
    float t = 0.0f;
    // Parallel to the four side planes, away from the back wall, past every sphere and triangle.
    EXPECT_EQ(findClosestShape(makeVec3(0, 0, -25), makeVec3(0, 0, -1), t, false), nullptr);
    EXPECT_EQ(t, kNoHit);
}

TEST_F(PackedClosestHit, FirstOfEqualDistancesWins) {
    const Shape a = makePlane(makeVec3(0, 0, 5), makeVec3(0, 0, -1));
    Shape b = a;
    b.color = makeVec3(1, 0, 0);
    shapes = {a, b};
    float t = 0.0f;
    EXPECT_EQ(findClosestShape(Vec3{}, makeVec3(0, 0, 1), t, false), &shapes[0]);
    EXPECT_EQ(t, 5.0f);
    shapes = {b, a};
    EXPECT_EQ(findClosestShape(Vec3{}, makeVec3(0, 0, 1), t, false), &shapes[0]);
}

TEST_F(PackedClosestHit, EveryPrimaryRayHitsSomething) {
    precalcFrame(gRayOrigin);
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            float t = 0.0f;
            ASSERT_NE(findClosestShape(gRayOrigin, primaryDirection(row, column), t, true),
                      nullptr);
            ASSERT_LT(t, 53.4f);
        }
    }
}

TEST(BounceDirection, GridPointsRejectedByFloatRounding) {
    int rejected = 0;
    for (int i = 0; i < 1000; ++i) {
        const float z = gridCoordinate(i / 100);
        const float y = gridCoordinate(i / 10 % 10);
        const float x = gridCoordinate(i % 10);
        if ((x != 0.0f || y != 0.0f || z != 0.0f) && normaliseGridPoint(x, y, z).rejected) {
            ++rejected;
        }
    }
    // Exactly this many with single-precision squares summed x, y, z and a double reciprocal
    // square root; fused multiply-adds or double-precision normalising give another count.
    EXPECT_EQ(rejected, 122);
    EXPECT_TRUE(normaliseGridPoint(-0.2f, -0.6f, -1.0f).rejected);
    EXPECT_TRUE(normaliseGridPoint(0.0f, 0.0f, 0.0f).rejected);
    EXPECT_FALSE(normaliseGridPoint(0.0f, 0.0f, -1.0f).rejected);
}

TEST(BounceDirection, GridCoordinatesFromDraws) {
    EXPECT_EQ(gridCoordinate(0), -1.0f);
    EXPECT_EQ(gridCoordinate(5), 0.0f);
    EXPECT_EQ(gridCoordinate(19), 0.8f);
    EXPECT_EQ(gridCoordinate(2147483647), gridCoordinate(7));
}

TEST(BounceDirection, GridIndexFromDigitsAndTheZeroPointRejected) {
    EXPECT_EQ(gridIndex(7, 3, 19), 739);
    // The zero point (digits 5, 5, 5) has no direction, and is drawn again.
    EXPECT_TRUE(gBounceTable.rejected[555]);
}

TEST(BounceDirection, MirroredOntoTheNormalsSide) {
    RandomSource source;
    source.reseed(7);
    DrawStream draws(source);
    RandomSequence sequence(7);
    const Vec3 up = makeVec3(0, 1, 0);
    std::set<std::tuple<float, float, float>> seen;
    bool sawPerpendicularKeptAsDrawn = false;
    for (int i = 0; i < 20000; ++i) {
        const Vec3 drawn = gBounceTable.dir[nextAcceptedIndex(sequence)];
        const Vec3 got = randomRayInHemisphere(up, draws);
        const float sign = drawn.y < 0.0f ? -1.0f : 1.0f;
        ASSERT_EQ(floatBits(got.x), floatBits(drawn.x * sign));
        ASSERT_EQ(floatBits(got.y), floatBits(drawn.y * sign));
        ASSERT_EQ(floatBits(got.z), floatBits(drawn.z * sign));
        ASSERT_GE(got.y, 0.0f);
        ASSERT_EQ(got.w, 0.0f);
        sawPerpendicularKeptAsDrawn |= drawn.y == 0.0f && got.x < 0.0f;
        seen.insert({got.x, got.y, got.z});
    }
    EXPECT_TRUE(sawPerpendicularKeptAsDrawn);
    EXPECT_GT(seen.size(), 400u);
}

class PathTrace : public FreshWorld {};

TEST_F(PathTrace, PrimaryRayOntoTheLightReturnsItsEmission) {
    PrivateDraws d(1);
    precalcFrame(gRayOrigin);
    EXPECT_TRUE(
        sameColor(pathTraceRay(gRayOrigin, primaryDirection(0, 320), 0, d.stream), 1, 1, 1));
}

TEST_F(PathTrace, PastTheDepthLimitIsBlack) {
    PrivateDraws d(2);
    const Vec3 down = makeVec3(0, 1, 0);
    EXPECT_TRUE(
        sameColor(pathTraceRay(makeVec3(0, 0, 0), down, kMaxDepth + 1, d.stream), 0, 0, 0));
    // A non-emitting hit at the deepest depth bounces past it, so it is black too.
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(
            sameColor(pathTraceRay(makeVec3(0, 0, 0), down, kMaxDepth, d.stream), 0, 0, 0));
    }
}

TEST_F(PathTrace, RayLeavingTheSceneIsBlack) {
    PrivateDraws d(3);
    EXPECT_TRUE(
        sameColor(pathTraceRay(makeVec3(0, 0, -25), makeVec3(0, 0, -1), 1, d.stream), 0, 0, 0));
}

TEST_F(PathTrace, OneBounceOffAWallBeforeTheLight) {
    PrivateDraws d(4);
    // At depth 9 a path either reaches the light after one bounce or ends black.
    int lit = 0;
    for (int i = 0; i < 400; ++i) {
        const Vec3 red = pathTraceRay(makeVec3(0, 0, -10), makeVec3(-1, 0, 0), 9, d.stream);
        ASSERT_TRUE(sameColor(red, 1, 0, 0) || sameColor(red, 0, 0, 0));
        const Vec3 grey = pathTraceRay(makeVec3(0, 0, -25), makeVec3(0, 1, 0), 9, d.stream);
        ASSERT_TRUE(sameColor(grey, 0.5f, 0.5f, 0.5f) || sameColor(grey, 0, 0, 0));
        lit += sameColor(red, 1, 0, 0) + sameColor(grey, 0.5f, 0.5f, 0.5f);
    }
    EXPECT_GT(lit, 100);
}
