// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "frame/image.h"
#include "frame/render.h"
#include "scene/scene.h"
#include "fixtures.h"
#include "test_support.h"

namespace {

// A unit right triangle in the plane z = 0, seen from -z.
Shape triangleInXY() {
    return makeTriangle(makeVec3(0, 0, -1), makeVec3(0, 0, 0), makeVec3(1, 0, 0),
                        makeVec3(0, 1, 0));
}

const Vec3 kForward = makeVec3(0, 0, 1);

} // namespace

class PlaneIntersect : public FreshWorld {};

TEST_F(PlaneIntersect, HitFromEitherSideBeyondThreshold) {
    const Shape p = makePlane(makeVec3(0, 0, 5), makeVec3(0, 0, -1));
    EXPECT_EQ(p.intersect(makeVec3(0, 0, 0), kForward, false), 5.0f);
    EXPECT_EQ(p.intersect(makeVec3(0, 0, 10), makeVec3(0, 0, -1), false), 5.0f);
    EXPECT_EQ(p.intersect(makeVec3(0, 0, 6), kForward, false), -1.0f); // behind the origin
}

TEST_F(PlaneIntersect, DistanceExactlyAtThresholdMisses) {
    const Shape p = makePlane(makeVec3(0, 0, 0), makeVec3(0, 0, -1));
    const Vec3 origin = makeVec3(0.25f, 0.25f, -0.003f);
    EXPECT_EQ(p.intersect(origin, kForward, false), -1.0f);
    EXPECT_GT(p.intersect(makeVec3(0.25f, 0.25f, -0.0031f), kForward, false), 0.003f);
}

TEST_F(PlaneIntersect, ParallelRayMissesOrGoesToInfinity) {
    const Shape p = makePlane(makeVec3(0, 5, 0), makeVec3(0, -1, 0));
    // In the plane: 0 / 0 is NaN, a miss.
    EXPECT_EQ(p.intersect(makeVec3(0, 5, 0), makeVec3(1, 0, 0), false), -1.0f);
    // Beside it: the distance is infinite and left to the caller's bound.
    const float t = p.intersect(makeVec3(0, 0, 0), makeVec3(1, 0, 0), false);
    EXPECT_TRUE(std::isinf(t) || t == -1.0f);
}

TEST_F(PlaneIntersect, PrecomputedEyeDistanceMatchesGeneralFormula) {
    precalcFrame(gRayOrigin);
    for (int row = 0; row < kHeight; row += 7) {
        for (int column = 0; column < kWidth; column += 5) {
            const Vec3 dir = primaryDirection(row, column);
            for (const Shape& s : shapes) {
                EXPECT_EQ(floatBits(s.intersect(gRayOrigin, dir, true)),
                          floatBits(s.intersect(gRayOrigin, dir, false)));
            }
        }
    }
}

TEST(SphereIntersect, NearRootFromOutside) {
    const Shape s = makeSphere(makeVec3(0, 0, 10), 4.0f);
    EXPECT_EQ(s.intersect(makeVec3(0, 0, 0), kForward, false), 8.0f);
    EXPECT_EQ(s.intersect(makeVec3(0, 0, 0), makeVec3(0, 0, -1), false), -12.0f); // behind
}

TEST(SphereIntersect, DiscriminantMustExceedThreshold) {
    // From the centre b = 0, so the discriminant is exactly the squared radius.
    EXPECT_EQ(makeSphere(makeVec3(0, 0, 0), 0.003f).intersect(Vec3{}, kForward, false), -1.0f);
    const float t = makeSphere(makeVec3(0, 0, 0), 0.0031f).intersect(Vec3{}, kForward, false);
    EXPECT_NE(t, -1.0f);
    EXPECT_LT(t, 0.0f); // the near root lies behind an origin inside the sphere
}

TEST(SphereIntersect, InvisibleFromItsSurfaceAndInside) {
    const Shape s = makeSphere(makeVec3(0, 0, 0), 15.0f);
    const float r = std::sqrt(15.0f);
    const Vec3 onSurface = makeVec3(r, 0, 0);
    const float leaving = s.intersect(onSurface, makeVec3(1, 0, 0), false);
    EXPECT_LT(leaving, -7.0f); // about -2 r
    EXPECT_NEAR(s.intersect(onSurface, makeVec3(-1, 0, 0), false), 0.0f, 1e-5f);
    EXPECT_LT(s.intersect(makeVec3(1, 0, 0), kForward, false), 0.0f);
}

class TriangleIntersect : public FreshWorld {};

TEST_F(TriangleIntersect, HitsInsideAndMissesOutside) {
    const Shape tri = triangleInXY();
    EXPECT_EQ(tri.intersect(makeVec3(0.25f, 0.25f, -2), kForward, false), 2.0f);
    EXPECT_EQ(tri.intersect(makeVec3(0.75f, 0.75f, -2), kForward, false), -1.0f);
    EXPECT_EQ(tri.intersect(makeVec3(-0.25f, 0.25f, -2), kForward, false), -1.0f);
    EXPECT_EQ(tri.intersect(makeVec3(0.25f, 0.25f, 2), kForward, false), -1.0f); // behind
}

TEST_F(TriangleIntersect, DistanceExactlyAtThresholdHits) {
    const Shape tri = triangleInXY();
    EXPECT_EQ(tri.intersect(makeVec3(0.25f, 0.25f, -0.003f), kForward, false), 0.003f);
    EXPECT_EQ(tri.intersect(makeVec3(0.25f, 0.25f, -0.0029f), kForward, false), -1.0f);
}

TEST_F(TriangleIntersect, EdgesAndVerticesMiss) {
    const Shape tri = triangleInXY();
    EXPECT_EQ(tri.intersect(makeVec3(0.5f, 0.5f, -1), kForward, false), -1.0f); // hypotenuse
    EXPECT_EQ(tri.intersect(makeVec3(0.5f, 0.0f, -1), kForward, false), -1.0f);
    EXPECT_EQ(tri.intersect(makeVec3(0.0f, 0.5f, -1), kForward, false), -1.0f);
    EXPECT_EQ(tri.intersect(makeVec3(0.0f, 0.0f, -1), kForward, false), -1.0f);
}

TEST_F(TriangleIntersect, SharedDiagonalOfTheBoxTopMissesBoth) {
    const Vec3 origin = makeVec3(0, 0, -12.5f);
    const Vec3 down = makeVec3(0, 1, 0);
    EXPECT_EQ(shapes[8].intersect(origin, down, false), -1.0f);
    EXPECT_EQ(shapes[9].intersect(origin, down, false), -1.0f);
    EXPECT_EQ(shapes[3].intersect(origin, down, false), 5.0f);
}

TEST_F(TriangleIntersect, ParallelRayIsNeverAFiniteHit) {
    const Shape tri = triangleInXY();
    const float t = tri.intersect(makeVec3(0.25f, 0.25f, -1), makeVec3(1, 0, 0), false);
    EXPECT_FALSE(std::isfinite(t) && t > 0.0f);
}

TEST(ShapeIntersect, UnknownTypeNeverHitsAndLeavesNormalAlone) {
    Shape odd = makeSphere(makeVec3(0, 0, 10), 4.0f);
    odd.type = static_cast<ShapeType>(7);
    EXPECT_EQ(odd.intersect(Vec3{}, kForward, false), -1.0f);
    Vec3 point;
    Vec3 normal = makeVec3(9, 9, 9);
    odd.getCollisionInfo(Vec3{}, kForward, 2.0f, point, normal);
    EXPECT_EQ(point.z, 2.0f);
    EXPECT_EQ(normal.x, 9.0f);
}

TEST(CollisionInfo, SphereNormalIsUnitAndOutward) {
    const Shape s = makeSphere(makeVec3(1, 2, 10), 4.0f);
    Vec3 point;
    Vec3 normal;
    const Vec3 dir = primaryDirection(250, 330);
    const Vec3 origin = makeVec3(1, 2, 0);
    const float t = s.intersect(origin, dir, false);
    ASSERT_GT(t, 0.0f);
    s.getCollisionInfo(origin, dir, t, point, normal);
    EXPECT_NEAR(dot(normal, normal), 1.0f, 1e-6f);
    EXPECT_LT(dot(normal, dir), 0.0f); // faces back toward the ray's origin
    EXPECT_EQ(normal.w, 0.0f);
}

TEST(CollisionInfo, PlaneKeepsStoredNormalWhenHitFromBehind) {
    const Shape p = makePlane(makeVec3(0, 0, 5), makeVec3(0, 0, 1));
    Vec3 point;
    Vec3 normal;
    p.getCollisionInfo(Vec3{}, kForward, 5.0f, point, normal);
    EXPECT_EQ(normal.z, 1.0f);
    EXPECT_EQ(point.z, 5.0f);
}
