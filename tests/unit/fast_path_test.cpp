// SPDX-License-Identifier: MIT
// The fast paths against the plain definitions they replace: same values, bit for bit.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "frame/frame.h"
#include "frame/frame_scene.h"
#include "frame/render.h"
#include "scene/random_sequence.h"
#include "scene/random_source.h"
#include "test_support.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"
#include "tracer/fast_paths.h"
#include "tracer/hemisphere.h"
#include "tracer/packed_scene.h"
#include "tracer/path_lanes.h"
#include "tracer/path_tracer.h"
#include "tracer/plain_search.h"

#include "allocation_counter.h"
#include "chains_check.h"
#include "fixtures.h"
#include "search_check.h"

RUN_ON_EVERY_INSTRUCTION_SET(FastPath);

// Traces every third pixel's path (natively) with the fast tracer and the recursive one, from the
// same draws, in the world as it stands.
void expectSameColourAndDrawsAsTheRecursiveTracer() {
    precalcFrame(gRayOrigin);
    const FrameScene& scene = prepareFrameScene();
    RandomSource plainSource;
    RandomSource fastSource;
    plainSource.reseed(2024);
    fastSource.reseed(2024);
    DrawStream plain(plainSource);
    DrawStream fast(fastSource);
    std::uint64_t segments = 0;
    for (int i = 0; i < kPixelCount; i += pixelStrideHere(3)) {
        const Vec3 expected =
            pathTraceRay(gRayOrigin, primaryDirection(i / kWidth, i % kWidth), 0, plain);
        const Vec3 got = tracePathFromHit(scene.packed, scene.primaryHits[i], 0, fast, segments);
        ASSERT_EQ(floatBits(got.x), floatBits(expected.x)) << "pixel " << i;
        ASSERT_EQ(floatBits(got.y), floatBits(expected.y)) << "pixel " << i;
        ASSERT_EQ(floatBits(got.z), floatBits(expected.z)) << "pixel " << i;
    }
    // Both consumed exactly the same draws.
    EXPECT_EQ(plain.nextBounce(), fast.nextBounce());
    EXPECT_GT(segments, 0u);
}

TEST_P(FastPath, SameColourAndDrawsAsTheRecursiveTracer) {
    expectSameColourAndDrawsAsTheRecursiveTracer();
}

// Each pixel's first hit (what prepareFrameScene keeps), found by the packed search, is the plain
// search's from the eye (with its planes' eye distances): the same shape, point and normal, bit
// for bit, in the scene as it is, with a wall turned off its axis, and from another eye point.
TEST_P(FastPath, FirstHitsAreThePlainSearchFromTheEye) {
    const Vec3 eye = gRayOrigin;
    struct EyeBack {
        Vec3 eye;
        ~EyeBack() { gRayOrigin = eye; }
    } eyeBack{eye};
    const std::function<void()> changes[] = {
        [] {},
        [] { shapes[7].normal = makeVec3(0.0f, 0.6f, -0.8f); },
        [] { gRayOrigin = makeVec3(3.5f, -2.25f, -20.0f); },
    };
    for (const auto& change : changes) {
        gRayOrigin = eye;
        resetWorld();
        change();
        precalcFrame(gRayOrigin);
        PackedScene packed;
        packed.build(shapes);
        for (int i = 0; i < kPixelCount; i += pixelStrideHere(1)) {
            const Vec3 dir = primaryDirection(i / kWidth, i % kWidth);
            float t = 0.0f;
            const Shape* hit = findClosestShape(gRayOrigin, dir, t, true);
            const PathStart got = primaryHit(packed, i / kWidth, i % kWidth);
            ASSERT_EQ(got.shape, hit == nullptr ? -1 : static_cast<int>(hit - shapes.data()))
                << "pixel " << i;
            if (hit == nullptr) {
                continue;
            }
            Vec3 point, normal;
            hit->getCollisionInfo(gRayOrigin, dir, t, point, normal);
            for (const auto& [a, b] :
                 {std::pair(got.point, point), std::pair(got.normal, normal)}) {
                ASSERT_EQ(floatBits(a.x), floatBits(b.x)) << "pixel " << i;
                ASSERT_EQ(floatBits(a.y), floatBits(b.y)) << "pixel " << i;
                ASSERT_EQ(floatBits(a.z), floatBits(b.z)) << "pixel " << i;
            }
        }
    }
}

// Paths end at whichever shapes emit, of every kind: here a sphere, the floor, a triangle and the
// back wall turned off its axis, in one colour each or two, and not the ceiling.
TEST_P(FastPath, PathsEndAtTheShapesThatEmitNow) {
    shapes[4].emission = Vec3{};
    shapes[2].emission = makeVec3(0.0f, 0.0f, 2.0f);
    shapes[3].emission = makeVec3(0.0f, 0.75f, 0.0f);
    shapes[8].emission = makeVec3(1.0f, 0.0f, 0.0f);
    shapes[7].normal = makeVec3(0.0f, 0.6f, -0.8f);
    shapes[7].emission = makeVec3(0.5f, 0.5f, 0.0f);
    expectSameColourAndDrawsAsTheRecursiveTracer();
}

// A bounce that all but grazes a sphere: the side the search takes from the hit point's offset
// from the centre can differ in sign from the plain one, of the unit normal, by a rounding (one
// of them zero here), and the unit normal's must win. A floor, a ball and a light; each path
// falls on the floor from just above it, takes grid direction k0 to the ball and k1 off it,
// which the other side would send to the other plane; one after another and side by side.
// (Found by trying hit points and grid directions for a side whose sign differs.)
TEST_P(FastPath, BouncesGrazingASphereTakeThePlainSide) {
    const Shape floor = makePlane(Vec3{}, makeVec3(0.0f, 1.0f, 0.0f), makeVec3(0.5f, 0.5f, 0.5f));
    const Shape ball = makeSphere(makeVec3(0.0f, 2.0f, 0.0f), 1.0f, makeVec3(0.25f, 0.25f, 0.25f));
    const Shape light = makePlane(makeVec3(0.0f, 6.0f, 0.0f), makeVec3(0.0f, -1.0f, 0.0f), Vec3{},
                                  makeVec3(1.0f, 1.0f, 1.0f));
    shapes = {floor, ball, light};
    PackedScene packed;
    packed.build(shapes);
    struct Case {
        float x, z;
        std::uint16_t k0, k1;
    };
    for (const Case& c : {Case{0x1.a3d71p-2f, 0x1.70a3cp-4f, 417, 141},
                          Case{-0x1.999998p-1f, -0x1.e69aep-4f, 503, 570},
                          Case{-0x1.31759p-2f, -0x1.674538p+0f, 5, 371}}) {
        const Vec3 origin = makeVec3(c.x, 1.0f, c.z), down = makeVec3(0.0f, -1.0f, 0.0f);
        PathStart start;
        start.shape = 0;
        float t = 0.0f;
        ASSERT_EQ(findClosestShape(origin, down, t, false), &shapes[0]);
        shapes[0].getCollisionInfo(origin, down, t, start.point, start.normal);
        // Streams that hand out k0 and k1 first, then the sequence's draws.
        struct Held {
            RandomSource source;
            DrawStream draws{source};
        } plain, fast, sequential, inLanes;
        for (Held* h : {&plain, &fast, &sequential, &inLanes}) {
            h->draws.holdBounces({c.k0, c.k1});
        }
        std::uint64_t segments = 0;
        const Vec3 expected = pathTraceRay(origin, down, 1, plain.draws);
        const Vec3 got = tracePathFromHit(packed, start, 1, fast.draws, segments);
        EXPECT_EQ(floatBits(got.x), floatBits(expected.x)) << "k1 " << c.k1;
        EXPECT_EQ(floatBits(got.z), floatBits(expected.z)) << "k1 " << c.k1;
        EXPECT_EQ(plain.draws.nextBounce(), fast.draws.nextBounce()) << "k1 " << c.k1;

        // The path side by side, against the one after another.
        ASSERT_TRUE(packed.tracesInLanes());
        Vec3 oneAfterAnother{};
        Vec3 sideBySide{};
        accumulatePaths(packed, &start, 1, sequential.draws, &oneAfterAnother);
        LaneChain chain;
        chain.starts = &start;
        chain.sums = &sideBySide;
        chain.count = 1;
        chain.draws = &inLanes.draws;
        PathLanes lanes;
        lanes.start(0, chain);
        while (tracePathLanes(packed, lanes) >= 0) {
        }
        EXPECT_EQ(floatBits(sideBySide.x), floatBits(oneAfterAnother.x)) << "k1 " << c.k1;
        EXPECT_EQ(floatBits(sideBySide.z), floatBits(oneAfterAnother.z)) << "k1 " << c.k1;
        EXPECT_EQ(sequential.draws.nextBounce(), inLanes.draws.nextBounce()) << "k1 " << c.k1;
    }
}

// Chains of pixels with draws of their own, traced side by side, give every pixel the sum and
// every chain the draws and segments the plain loop gives them one chain after another
// (chains_check.h). The chains are of uneven lengths and more than the lanes, and they cover the
// whole picture: paths that end at their first hit, pixels that hit nothing, and the deepest
// paths. Each chain also notes how many values its draws had used as every hundredth pixel's
// path started.
void expectChainsSideBySideAsOneAfterAnother(const PackedScene& packed,
                                             const std::vector<PathStart>& starts) {
    ASSERT_TRUE(packed.tracesInLanes());
    const int pixels = static_cast<int>(starts.size());
    std::vector<Chain> chains;
    for (int first = 0, k = 0; first < pixels; ++k) {
        const int count = std::min(pixels - first, 700 + 389 * (k % 7));
        if (k % pixelStrideHere(1) == 0) {
            chains.push_back({first, count, 3 * 7919 * static_cast<std::uint64_t>(chains.size())});
        }
        first += count;
    }
    RandomSource origin;
    origin.reseed(91);
    const ChainsDifference difference =
        compareChainsSideBySide(packed, starts, chains, origin.state(), 100);
    EXPECT_EQ(difference.what, "") << "pixel " << difference.pixel;
}

// The same for the picture's own first hits, in the world as it stands.
void expectPictureChainsSideBySideAsOneAfterAnother() {
    precalcFrame(gRayOrigin);
    const FrameScene& scene = prepareFrameScene();
    expectChainsSideBySideAsOneAfterAnother(
        scene.packed, std::vector<PathStart>(scene.primaryHits.begin(), scene.primaryHits.end()));
}

TEST_P(FastPath, ChainsSideBySideAreTracedAsOneAfterAnother) {
    expectPictureChainsSideBySideAsOneAfterAnother();
}

// The same for paths that start where the picture's never do: far out (traced the plain way),
// on a light, and nowhere.
TEST_P(FastPath, ChainsSideBySideTakeEveryKindOfStart) {
    precalcFrame(gRayOrigin);
    const FrameScene& scene = prepareFrameScene();
    const int rows = kEmulated ? 20 : 100;
    std::vector<PathStart> starts(scene.primaryHits.begin() + 200 * kWidth,
                                  scene.primaryHits.begin() + (200 + rows) * kWidth);
    for (std::size_t i = 0; i < starts.size(); i += 7) {
        PathStart& s = starts[i];
        switch (i % 3) {
        case 0:
            s.point = makeVec3(0x1p70f, s.point.y, s.point.z);
            s.shape = 3;
            s.normal = shapes[3].normal;
            break;
        case 1:
            s.shape = 4;
            s.normal = shapes[4].normal;
            break;
        default:
            s.shape = -1;
            break;
        }
    }
    expectChainsSideBySideAsOneAfterAnother(scene.packed, starts);
}

// Shapes hit at exactly the same distance: the first in the list wins, in lanes as in the plain
// search (copies of a plane, a sphere and a triangle in other colours, after them in the list;
// more shapes than one register's lanes of the widest sets).
TEST_P(FastPath, ChainsSideBySideGiveTiesToTheEarlierShape) {
    for (const int original : {3, 1, 8, 5}) {
        Shape copy = shapes[original];
        copy.color = makeVec3(copy.color.z, 0.5f, copy.color.x);
        shapes.push_back(copy);
    }
    expectPictureChainsSideBySideAsOneAfterAnother();
}

// More shapes than two registers of the widest sets hold: the hits' values are gathered from
// memory. Thirty spheres no ray meets (behind the eye, facing away) come first, so that the
// scene's shapes are hit with indices 30 to 41.
TEST_P(FastPath, ChainsSideBySideAmongManyShapes) {
    for (int i = 0; i < 30; ++i) {
        shapes.insert(shapes.begin(), makeSphere(makeVec3(static_cast<float>(i), 0.0f, -1000.0f),
                                                 1.0f, makeVec3(1.0f, 0.5f, 0.0f)));
    }
    expectPictureChainsSideBySideAsOneAfterAnother();
}

// Few enough shapes for one AVX2 register (at most eight): the scene without its triangles and
// a sphere.
TEST_P(FastPath, ChainsSideBySideAmongFewShapes) {
    shapes.erase(std::remove_if(shapes.begin(), shapes.end(),
                                [](const Shape& s) { return s.type == Triangle; }),
                 shapes.end());
    const auto sphere =
        std::find_if(shapes.begin(), shapes.end(), [](const Shape& s) { return s.type == Sphere; });
    ASSERT_NE(sphere, shapes.end());
    shapes.erase(sphere);
    ASSERT_LE(shapes.size(), 8u);
    expectPictureChainsSideBySideAsOneAfterAnother();
}

// Lights elsewhere: a sphere (a light and a sphere at once) and the floor, not the ceiling.
TEST_P(FastPath, ChainsSideBySideEndAtTheShapesThatEmitNow) {
    shapes[4].emission = Vec3{};
    shapes[2].emission = makeVec3(0.0f, 0.0f, 2.0f);
    shapes[3].emission = makeVec3(0.0f, 0.75f, 0.0f);
    expectPictureChainsSideBySideAsOneAfterAnother();
}

// A lane whose chain has no pixels is done at once; with no lane busy there is nothing to trace.
TEST_P(FastPath, EmptyChainsSideBySide) {
    precalcFrame(gRayOrigin);
    const FrameScene& scene = prepareFrameScene();
    PathLanes lanes;
    EXPECT_EQ(tracePathLanes(scene.packed, lanes), -1);
    RandomSource source;
    DrawStream draws(source);
    LaneChain empty;
    empty.starts = scene.primaryHits.data();
    empty.draws = &draws;
    const int last = pathLaneCount() - 1;
    lanes.start(last, empty);
    EXPECT_TRUE(lanes.busy(last));
    EXPECT_EQ(tracePathLanes(scene.packed, lanes), last);
    EXPECT_FALSE(lanes.busy(last));
    EXPECT_EQ(tracePathLanes(scene.packed, lanes), -1);
    EXPECT_EQ(draws.usedEnd(), 0u);
}

// Hits at exactly each kind's least distance, where the plain tests draw their lines: a plane
// needs more than 0.003 (one at exactly 0.003 is missed), a triangle at least 0.003 (one at
// exactly 0.003 is hit), a sphere a discriminant above 0.003. Each ray leaves a point on a floor
// (y = 0, facing up) along a bounce grid direction, and the shape there is a light: the packed
// search must find what the plain one finds, and a path traced side by side must end where the
// plain path loop ends it. The distances are exact: 0.003f along y = 1, or, off the axes, where
// the plain triangle test finds 0.003f (a plane through the same point finds the same).
namespace {

struct BoundCase {
    const char* what;
    Shape shape;
    int bounce; // the grid direction taken from the floor
};

Shape lightOf(Shape s) {
    s.color = makeVec3(0.5f, 0.5f, 0.5f);
    s.emission = makeVec3(1.0f, 1.0f, 1.0f);
    return s;
}

// A small triangle across the y axis: around the point (0, y, 0) when level, and through
// (0, y, z) with its edges 0.02 long when tilted to `normal` = (0, ny, nz), so that the plain
// test's products stay small enough to land on 0.003 exactly.
Shape triangleAcross(float y, float z, Vec3 normal) {
    const float slope = -normal.z / normal.y;
    return makeTriangle(normal, makeVec3(-0.01f, y, z), makeVec3(0.01f, y, z),
                        makeVec3(0.0f, y + 0.02f * slope, z + 0.02f));
}

// A triangle tilted to `normal` that the plain test hits at exactly 0.003 along +y from the
// origin, found one float step at a time (or none: the test says so).
Shape tiltedTriangleAtTheBound(Vec3 normal) {
    const Vec3 up = makeVec3(0.0f, 1.0f, 0.0f);
    const float slope = -normal.z / normal.y;
    for (float z = -0.0100f; z > -0.0102f; z = std::nextafter(z, -1.0f)) {
        float y = 0.003f + z * slope;
        for (int step = 0; step < 64; ++step, y = std::nextafter(y, 1.0f)) {
            const Shape s = triangleAcross(y, z, normal);
            if (s.intersect(Vec3{}, up, false) == 0.003f) {
                return s;
            }
        }
    }
    return Shape{};
}

std::vector<BoundCase> boundCases() {
    const Vec3 level = makeVec3(0.0f, 1.0f, 0.0f);
    const Shape tilted = tiltedTriangleAtTheBound(makeVec3(0.0f, 0.8f, 0.6f));
    const Shape axisPlane = makePlane(makeVec3(0.0f, 0.003f, 0.0f), level);
    // Through the tilted triangle's first vertex: the plain plane test takes the same product.
    const Shape plane = makePlane(tilted.vert0, tilted.normal);
    const Shape levelTriangle = triangleAcross(0.003f, -0.01f, level);
    // Along -z, b = -2^-4 and the discriminant (2^-4)^2 - ((2^-4)^2 - 0.003) = 0.003 exactly.
    const Shape sphere = makeSphere(makeVec3(0.0f, 0.0f, -0.0625f), 0.003f);
    const int up = 505, back = 55; // (0, -1, 0) turned up by the floor, and (0, 0, -1)
    return {
        {"an axis-aligned plane at 0.003", lightOf(axisPlane), up},
        {"a plane at an angle at 0.003", lightOf(plane), up},
        {"an axis-aligned triangle at 0.003", lightOf(levelTriangle), up},
        {"a triangle at an angle at 0.003", lightOf(tilted), up},
        {"a sphere whose discriminant is 0.003", lightOf(sphere), back},
    };
}

} // namespace

TEST_P(FastPath, HitsAtExactlyEachKindsLeastDistance) {
    for (const auto& [index, x, y, z] :
         {std::tuple{505, 0.0f, -1.0f, 0.0f}, {55, 0.0f, 0.0f, -1.0f}}) {
        const Vec3& d = gBounceTable.dir[index];
        ASSERT_TRUE(d.x == x && d.y == y && d.z == z) << index;
    }
    Shape floor;
    floor.normal = makeVec3(0.0f, 1.0f, 0.0f);
    floor.color = makeVec3(0.5f, 0.5f, 0.5f);
    PathStart start;
    start.normal = floor.normal;
    start.shape = 0;
    for (const BoundCase& c : boundCases()) {
        SCOPED_TRACE(c.what);
        shapes = {floor, c.shape};
        PackedScene packed;
        packed.build(shapes);
        ASSERT_TRUE(packed.tracesInLanes());
        const Vec3 dir =
            mirrored(gBounceTable.dir[c.bounce], dot(floor.normal, gBounceTable.dir[c.bounce]));
        expectSameClosestHit(packed, start.point, dir);
        if (c.shape.type == Triangle) { // the case is at the bound, which the triangle hits
            float t = 0.0f;
            ASSERT_NE(findClosestShape(start.point, dir, t, false), nullptr);
            ASSERT_EQ(t, 0.003f);
        }
        // One path from the floor, its first bounce that direction, the plain way and in lanes.
        RandomSource plainSource, laneSource;
        DrawStream plainDraws(plainSource), laneDraws(laneSource);
        plainDraws.holdBounces({static_cast<std::uint16_t>(c.bounce)});
        laneDraws.holdBounces({static_cast<std::uint16_t>(c.bounce)});
        Vec3 plain{}, inLanes{};
        const std::uint64_t segments = accumulatePaths(packed, &start, 1, plainDraws, &plain);
        PathLanes lanes;
        LaneChain chain;
        chain.starts = &start;
        chain.sums = &inLanes;
        chain.count = 1;
        chain.draws = &laneDraws;
        lanes.start(0, chain);
        while (tracePathLanes(packed, lanes) >= 0) {
        }
        EXPECT_EQ(floatBits(inLanes.x), floatBits(plain.x));
        EXPECT_EQ(lanes.chains[0].segments, segments);
    }
}

// Only scenes whose colour products are exact in any order are traced side by side.
TEST(PackedScene, TracesInLanesWhereColourProductsAreExact) {
    struct Case {
        const char* what;
        int shape;
        Vec3 color;
        Vec3 emission;
        bool inLanes;
    };
    const Case cases[] = {
        {"the scene as it is", 0, makeVec3(0, 0, 1), Vec3{}, true},
        {"a colour of 0.25", 2, makeVec3(0.25f, 0, 0), Vec3{}, true},
        {"a colour of 2^-8", 2, makeVec3(0x1p-8f, 0, 0), Vec3{}, true},
        {"a colour of 0.3", 2, makeVec3(0.3f, 0, 0), Vec3{}, false},
        {"a colour of 2^-9", 2, makeVec3(0x1p-9f, 0, 0), Vec3{}, false},
        {"a colour above 1", 2, makeVec3(2, 0, 0), Vec3{}, false},
        {"a negative colour", 2, makeVec3(-0.5f, 0, 0), Vec3{}, false},
        {"a light of 2^-30", 2, makeVec3(1, 0, 0), makeVec3(0x1p-30f, 0, 0), true},
        {"a light of 2^-31", 2, makeVec3(1, 0, 0), makeVec3(0x1p-31f, 0, 0), false},
        {"a light of 0.3 (any colour)", 2, makeVec3(0.3f, 0, 0), makeVec3(0.3f, 0, 0), true},
        {"an emission that does not light", 2, makeVec3(1, 0, 0), makeVec3(-1, 0, 0), false},
        {"a light with a negative component", 2, makeVec3(1, 0, 0), makeVec3(1, -1, 0), false},
        {"a colour of -0", 2, makeVec3(-0.0f, 0, 0), Vec3{}, false},
        // Every channel is checked, not only red.
        {"a green of 0.3", 2, makeVec3(0, 0.3f, 0), Vec3{}, false},
        {"a blue of 0.3", 2, makeVec3(0, 0, 0.3f), Vec3{}, false},
        {"an emission in green that does not light", 2, makeVec3(1, 0, 0), makeVec3(0, -1, 0),
         false},
        {"an emission in blue that does not light", 2, makeVec3(1, 0, 0), makeVec3(0, 0, -1),
         false},
        {"a light with a green of 2^-31", 2, makeVec3(1, 0, 0), makeVec3(1, 0x1p-31f, 0), false},
        {"a light with a negative blue", 2, makeVec3(1, 0, 0), makeVec3(1, 0, -1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        resetWorld();
        shapes[c.shape].color = c.color;
        shapes[c.shape].emission = c.emission;
        PackedScene packed;
        packed.build(shapes);
        EXPECT_EQ(packed.tracesInLanes(), c.inLanes);
    }
    PackedScene empty;
    empty.build({});
    EXPECT_FALSE(empty.tracesInLanes());
}

TEST_P(FastPath, FrameSceneFollowsChangesToTheShapes) {
    precalcFrame(gRayOrigin);
    const int before = prepareFrameScene().primaryHits[0].shape;
    EXPECT_EQ(before, 4); // the light
    shapes[4].emission = Vec3{};
    shapes[4].pos.y = -6.0f;
    precalcFrame(gRayOrigin);
    EXPECT_EQ(prepareFrameScene().primaryHits[0].shape, 4);
    EXPECT_EQ(prepareFrameScene().primaryHits[0].point.y, -6.0f);
}
