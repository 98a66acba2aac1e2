// SPDX-License-Identifier: MIT
// The packed search against the plain one (the shape list), on every instruction set.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/frame_scene.h"
#include "frame/render.h"
#include "scene/random_sequence.h"
#include "test_support.h"
#include "tracer/bounce_table.h"
#include "tracer/fast_paths.h"
#include "tracer/hemisphere.h"
#include "tracer/packed_scene.h"
#include "tracer/plain_search.h"

#include "fixtures.h"
#include "search_check.h"

namespace {

// Points and directions that reach every kind of case: hit points of real paths, bounce grid
// directions with their signed zeros, and arbitrary directions.
struct RayCase {
    Vec3 origin;
    Vec3 dir;
};

std::vector<RayCase> sceneRays(int count) {
    RandomSequence r(99);
    std::vector<RayCase> rays;
    auto coordinate = [&](float range) {
        return (static_cast<float>(r.next() % 20001) / 10000.0f - 1.0f) * range;
    };
    for (int i = 0; i < count; ++i) {
        RayCase c;
        c.origin = makeVec3(coordinate(16.0f), coordinate(6.0f), coordinate(30.0f));
        if (i % 2 == 0) {
            const int index = r.next() % 1000;
            const Vec3 d = gBounceTable.dir[index];
            c.dir = i % 4 == 0 ? d : d * -1.0f;
        } else {
            const Vec3 d = makeVec3(coordinate(1), coordinate(1), coordinate(1));
            c.dir = d * unitScale(dot(d, d));
        }
        rays.push_back(c);
    }
    return rays;
}

void expectSameClosestHitsOnSceneRays(const PackedScene& packed, int count) {
    for (const RayCase& c : sceneRays(count)) {
        expectSameClosestHit(packed, c.origin, c.dir);
    }
}

} // namespace

TEST(InstructionSets, TheWidestByDefaultAndEachOnRequest) {
    const std::vector<std::string>& sets = instructionSets();
    ASSERT_FALSE(sets.empty());
    EXPECT_EQ(instructionSet(), sets.front());
    for (const std::string& name : sets) {
        ASSERT_TRUE(useInstructionSet(name));
        EXPECT_EQ(instructionSet(), name);
        // The frame scene follows the set in use.
        EXPECT_EQ(prepareFrameScene().packed.laneCount(), packedLaneCount());
    }
    std::string lower = sets.back();
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_TRUE(useInstructionSet(lower));
    EXPECT_EQ(instructionSet(), sets.back());
    EXPECT_FALSE(useInstructionSet("MMX"));
    EXPECT_EQ(instructionSet(), sets.back()); // a refused name changes nothing
    EXPECT_TRUE(useInstructionSet(""));
    EXPECT_EQ(instructionSet(), sets.front());
    EXPECT_EQ(instructionSets(), sets); // choosing hides none of them
#if defined(__x86_64__) && !defined(__AVX__)
    // A build for any x86-64 has code for the 128-bit level every such CPU with SSE4 runs.
    EXPECT_NE(std::find(sets.begin(), sets.end(), "SSE4"), sets.end());
#endif
}

RUN_ON_EVERY_INSTRUCTION_SET(PackedSearch);

TEST_P(PackedSearch, SameClosestHitAsTheShapeList) {
    PackedScene packed;
    packed.build(shapes);
    expectSameClosestHitsOnSceneRays(packed, raysHere(200000));
}

TEST_P(PackedSearch, SameClosestHitFromRealHitPoints) {
    precalcFrame(gRayOrigin);
    PackedScene packed;
    packed.build(shapes);
    for (int i = 0; i < kPixelCount; i += pixelStrideHere(7)) {
        const PathStart hit = primaryHit(packed, i / kWidth, i % kWidth);
        ASSERT_GE(hit.shape, 0); // every pixel sees a wall, the floor, the light or a shape
        for (int k = 0; k < 1000; k += 37) {
            const Vec3 d = gBounceTable.dir[k];
            expectSameClosestHit(packed, hit.point, mirrored(d, dot(hit.normal, d)));
        }
    }
}

TEST_P(PackedSearch, TrianglesTakingTheirDistancesFromThePlaneLanes) {
    // With eight lanes the box's two faces fit beside the room's five planes; four lanes hold
    // the planes in two groups, and the triangles divide on their own.
    const bool eightLanes = packedLaneCount() >= 8;
    {
        PackedScene packed;
        packed.build(shapes);
        EXPECT_EQ(packed.sharesPlaneDistances(), eightLanes);
    }
    // A triangle first in the list lying in the floor shares the floor's own lane, and wins
    // the tie with it.
    Shape floorTriangle = shapes[8];
    floorTriangle.vert0 = makeVec3(-50, 5, -50);
    floorTriangle.vert1 = makeVec3(50, 5, -50);
    floorTriangle.vert2 = makeVec3(0, 5, 50);
    shapes.insert(shapes.begin(), floorTriangle);
    PackedScene packed;
    packed.build(shapes);
    EXPECT_EQ(packed.sharesPlaneDistances(), eightLanes);
    expectSameClosestHitsOnSceneRays(packed, raysHere(100000));
    float t = 0.0f;
    EXPECT_EQ(packedClosestHit(packed, makeVec3(0, 0, 0), makeVec3(0, 1, 0), t), 0);
    EXPECT_EQ(t, 5.0f);
    // With the plane lanes all taken the triangles divide on their own.
    for (int i = 0; i < 3; ++i) {
        Shape wall = shapes[6];
        wall.pos.x += 100.0f + i;
        shapes.push_back(wall);
    }
    packed.build(shapes);
    EXPECT_FALSE(packed.sharesPlaneDistances());
    expectSameClosestHitsOnSceneRays(packed, raysHere(50000));
}

// Paths search only the first group of each kind where a scene has no other: never where a
// shape lies beyond them.
TEST_P(PackedSearch, OnlyTheFirstGroupsWhereTheyHoldEveryShape) {
    const bool eightLanes = packedLaneCount() >= 8;
    Shape tiltedPlane = shapes[3];
    tiltedPlane.normal = makeVec3(0.6f, 0.8f, 0);
    Shape tiltedTriangle = shapes[8];
    tiltedTriangle.normal = makeVec3(0, -0.8f, 0.6f);
    const struct {
        const char* what;
        std::vector<Shape> added;
        bool inFirstGroups;
    } cases[] = {
        {"the scene as it is", {}, eightLanes},
        {"a plane along no axis", {tiltedPlane}, false},
        {"a triangle along no axis", {tiltedTriangle}, false},
        {"nine spheres", std::vector<Shape>(6, shapes[0]), false},
        {"eight spheres", std::vector<Shape>(5, shapes[0]), eightLanes},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Shape> scene = shapes;
        scene.insert(scene.end(), c.added.begin(), c.added.end());
        PackedScene packed;
        packed.build(scene);
        EXPECT_EQ(packed.inFirstGroups(), c.inFirstGroups);
    }
    PackedScene empty;
    empty.build({});
    EXPECT_TRUE(empty.inFirstGroups());
}

TEST_P(PackedSearch, TiesGoToTheFirstShapeWhateverTheKindOrder) {
    // The same plane twice and a triangle lying in it, after more spheres and planes than fill
    // one group of lanes, and a shape of no known kind.
    std::vector<Shape> scene = shapes;
    Shape odd = shapes[0];
    odd.type = static_cast<ShapeType>(9);
    scene.insert(scene.begin(), odd);
    for (int i = 0; i < 9; ++i) {
        Shape s = shapes[i % 3];
        s.pos.z += 40.0f + 10.0f * i; // far away, behind the back wall
        scene.push_back(s);
    }
    Shape floorCopy = shapes[3];
    scene.push_back(floorCopy);
    Shape floorTriangle = shapes[8];
    floorTriangle.normal = makeVec3(0, -1, 0);
    floorTriangle.vert0 = makeVec3(-50, 5, -50);
    floorTriangle.vert1 = makeVec3(50, 5, -50);
    floorTriangle.vert2 = makeVec3(0, 5, 50);
    scene.insert(scene.begin() + 2, floorTriangle);
    shapes = scene;
    PackedScene packed;
    packed.build(shapes);
    expectSameClosestHitsOnSceneRays(packed, raysHere(50000));
    float t = 0.0f;
    EXPECT_EQ(packedClosestHit(packed, makeVec3(0, 0, 0), makeVec3(0, 1, 0), t), 2);
    EXPECT_EQ(t, 5.0f);
}

TEST_P(PackedSearch, PlanesAtAnAngle) {
    // The room tilted: planes whose normals lie along no axis, more of them than one group of
    // lanes holds, one through the eye's side of the room and one parallel to another.
    const Vec3 normals[] = {
        makeVec3(0.6f, 0.8f, 0),   makeVec3(0, -0.6f, 0.8f),   makeVec3(0.48f, 0.6f, 0.64f),
        makeVec3(-0.6f, 0.8f, 0),  makeVec3(0.6f, 0.8f, 0),    makeVec3(0.36f, -0.48f, 0.8f),
        makeVec3(-0.8f, 0, -0.6f), makeVec3(0, 0.28f, -0.96f), makeVec3(1, 0, 0)};
    float offset = -9.0f;
    for (const Vec3& n : normals) {
        shapes.push_back(makePlane(n * offset, n));
        offset += 2.5f;
    }
    PackedScene packed;
    packed.build(shapes);
    expectSameClosestHitsOnSceneRays(packed, raysHere(200000));
}

TEST_P(PackedSearch, TrianglesOfEveryShapeAndStoredNormal) {
    const Vec3 up = makeVec3(0, -1, 0);
    // A sliver, a tiny one, one whose stored normal is not that of its vertices, one standing
    // upright, and a large one: every kind of margin the inside test may be skipped with.
    shapes.push_back(
        makeTriangle(up, makeVec3(-8, 1, -10), makeVec3(8, 1, -10.01f), makeVec3(8, 1, -9.99f)));
    shapes.push_back(
        makeTriangle(up, makeVec3(2, 0, -3), makeVec3(2.01f, 0, -3), makeVec3(2, 0, -2.99f)));
    const Vec3 tilted = makeVec3(0.6f, -0.8f, 0);
    shapes.push_back(
        makeTriangle(tilted, makeVec3(-3, -2, -15), makeVec3(3, -2, -15), makeVec3(0, -2, -8)));
    shapes.push_back(makeTriangle(makeVec3(1, 0, 0), makeVec3(-12, -4, -25), makeVec3(-12, 4, -25),
                                  makeVec3(-12, 0, 5)));
    shapes.push_back(
        makeTriangle(up, makeVec3(-14, 4.5f, -30), makeVec3(14, 4.5f, -30), makeVec3(0, 4.5f, 9)));
    // Tiny ones far out, where their corners are as coarse as their size, one of them tilted.
    shapes.push_back(makeTriangle(makeVec3(0, 0, -1), makeVec3(1000, 1000, 1000),
                                  makeVec3(1000.001f, 1000, 1000),
                                  makeVec3(1000, 1000.001f, 1000)));
    shapes.push_back(makeTriangle(makeVec3(0, 1, 0), makeVec3(100, 100, 100),
                                  makeVec3(100.0001f, 100, 100), makeVec3(100, 100, 100.0001f)));
    shapes.push_back(makeTriangle(makeVec3(0.6f, 0, 0.8f), makeVec3(100, 100, 100),
                                  makeVec3(100, 100.0001f, 100),
                                  makeVec3(99.9999f, 100, 100.0001f)));
    PackedScene packed;
    packed.build(shapes);
    expectSameClosestHitsOnSceneRays(packed, raysHere(200000));
    // Rays aimed at every triangle's corners and edges, just inside and just outside, from
    // origins near and far (the farther, the more the computed hit point strays off the plane)
    // and from every direction.
    RandomSequence r(5);
    int triangleHits = 0;
    const float distances[] = {0.05f, 3.0f, 100.0f, 5000.0f};
    const int raysPerTriangle = raysHere(40000);
    for (std::size_t i = 12; i < shapes.size(); ++i) {
        const Shape& tri = shapes[i];
        for (int k = 0; k < raysPerTriangle; ++k) {
            const float a = static_cast<float>(r.next() % 1201) / 1000.0f - 0.1f;
            const float b = static_cast<float>(r.next() % 1201) / 1000.0f - 0.1f;
            const Vec3 target =
                tri.vert0 + (tri.vert1 - tri.vert0) * a + (tri.vert2 - tri.vert0) * b;
            const Vec3 away = k % 2 == 0 ? tri.normal * -1.0f : gBounceTable.dir[r.next() % 1000];
            const Vec3 origin = target + away * distances[k % 4];
            const Vec3 d = target - origin;
            const Vec3 dir = d * unitScale(dot(d, d));
            expectSameClosestHit(packed, origin, dir);
            float t = 0.0f;
            triangleHits += packedClosestHit(packed, origin, dir, t) == static_cast<int>(i);
        }
    }
    EXPECT_GT(triangleHits, raysPerTriangle); // the aimed rays do meet the triangles
}

// Two cases where the plain test fails open, found by the differential fuzzer (tests/fuzz): the
// packed search must give the same answer.

// Edges of 1e10: uu vv overflows, so D is -infinity and the barycentric coordinates NaN, which
// pass every bound: the plain test hits the triangle's plane anywhere, here at t = 3.
TEST_P(PackedSearch, HugeTrianglesHitWhereverThePlainTestDoes) {
    shapes.clear();
    shapes.push_back(makeTriangle(makeVec3(0.0f, -1.0f, 0.0f), makeVec3(1e10f, 3.0f, 1e10f),
                                  makeVec3(2e10f, 3.0f, 1e10f), makeVec3(1e10f, 3.0f, 2e10f)));
    PackedScene packed;
    packed.build(shapes);
    float t = 0.0f;
    EXPECT_EQ(packedClosestHit(packed, Vec3{}, makeVec3(0.0f, 1.0f, 0.0f), t), 0);
    EXPECT_EQ(t, 3.0f);
    expectSameClosestHitsOnSceneRays(packed, raysHere(20000));
    resetWorld();
}

// An infinite coordinate off a plane's or triangle's axis makes the plain dot product
// (inf - o.x) * 0 NaN: nothing is hit, although the coordinate along the normal alone would
// give a distance of 5.
TEST_P(PackedSearch, AxisAlignedShapesWithAnInfiniteCoordinateAreMissed) {
    for (ShapeType type : {Plane, Triangle}) {
        shapes.clear();
        Shape s;
        s.type = type;
        s.pos = makeVec3(INFINITY, 5.0f, 0.0f);
        s.vert0 = s.pos;
        s.vert1 = makeVec3(0.0f, 5.0f, 1.0f);
        s.vert2 = makeVec3(1.0f, 5.0f, 0.0f);
        s.normal = makeVec3(0.0f, -1.0f, 0.0f);
        shapes.push_back(s);
        PackedScene packed;
        packed.build(shapes);
        float t = 0.0f;
        EXPECT_EQ(packedClosestHit(packed, Vec3{}, makeVec3(0.0f, 1.0f, 0.0f), t), -1) << type;
        EXPECT_EQ(t, kNoHit);
        expectSameClosestHitsOnSceneRays(packed, 20000);
    }
    resetWorld();
}

// Rays from an origin or along a direction that is not finite hit nothing in the plain search,
// and rays from far out are searched exactly too.
TEST_P(PackedSearch, RaysFromFarOutOrNotFinite) {
    PackedScene packed;
    packed.build(shapes);
    for (float far : {INFINITY, -INFINITY, NAN, 1e20f, -3e38f}) {
        for (int axis = 0; axis < 3; ++axis) {
            Vec3 origin = makeVec3(1.0f, 2.0f, 3.0f);
            (&origin.x)[axis] = far;
            expectSameClosestHit(packed, origin, makeVec3(0.0f, 0.6f, 0.8f));
            Vec3 dir = makeVec3(0.0f, 0.6f, 0.8f);
            (&dir.x)[axis] = far;
            expectSameClosestHit(packed, makeVec3(1.0f, 2.0f, 3.0f), dir);
        }
    }
}

TEST_P(PackedSearch, EmptySceneHitsNothing) {
    PackedScene packed;
    packed.build({});
    float t = 0.0f;
    EXPECT_EQ(packedClosestHit(packed, Vec3{}, makeVec3(0, 0, 1), t), -1);
    EXPECT_EQ(t, kNoHit);
}
