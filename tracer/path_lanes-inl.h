// SPDX-License-Identifier: MIT
// Paths side by side (path_lanes.h), compiled for each instruction set by fast_paths.cpp, which
// includes this file once per set. A lane's path that starts far out takes the path loop
// (path_loop-inl.h).
//
// Each lane holds one path of its own chain. A step searches every lane's ray against each shape
// in list order, one vector operation for a vector's lanes, with the operations of Shape::intersect
// and the acceptance test of findClosestShape (a later shape must be strictly nearer, so ties go to
// the earlier one); then it takes each hit's point, normal and bounce, and ends the paths that
// reached a light, ran past the depth limit or left the scene. Lanes whose paths ended start
// their chain's next path, one lane at a time; nothing else is done lane by lane (but, where
// vectors of doubles are missing, the square roots a sphere takes in double precision).
//
// The colour is multiplied forward, bounce by bounce, instead of folded back from the light:
// PackedScene::tracesInLanes holds only where every such product is exact.

// Include guard that lets the file be included again for each instruction set.
#if defined(PATHTRACER_PATH_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef PATHTRACER_PATH_LANES_INL_H_
#undef PATHTRACER_PATH_LANES_INL_H_
#else
#define PATHTRACER_PATH_LANES_INL_H_
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <hwy/highway.h>

#include "scene/preconditions.h"
#include "scene/shape.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"
#include "tracer/hemisphere.h"
#include "tracer/packed_scene.h"
#include "tracer/path_lanes.h"
#include "tracer/path_loop-inl.h"
#include "tracer/plain_search.h"
#include "tracer/shape_kernels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Adds a path's colour, each channel clamped to at most 1, to its pixel's sum.
HWY_INLINE void addClamped(Vec3& sum, float r, float g, float b) {
    sum.x += std::min(1.0f, r);
    sum.y += std::min(1.0f, g);
    sum.z += std::min(1.0f, b);
}

// Notes the count of values the chain's draws used as pixel `i`'s path starts, if `i` begins a
// row and rows are noted.
HWY_INLINE void noteRowStart(LaneChain& c, int i) {
    if (c.rowUsed != nullptr && i == c.nextRow * c.rowLength) {
        c.rowUsed[c.nextRow++] = c.draws->usedCount();
    }
}

#if HWY_TARGET == HWY_SCALAR

int PathLaneCount() {
    return 1;
}

// One lane: its chain's paths one after another.
int TracePathLanes(const PackedScene& scene, PathLanes& lanes) {
    if (!lanes.busy(0)) {
        return -1;
    }
    LaneChain& c = lanes.chains[0];
    for (; c.next < c.count; ++c.next) {
        noteRowStart(c, c.next);
        const Vec3 col = tracePath(scene, c.starts[c.next], 0, *c.draws, c.segments);
        addClamped(c.sums[c.next], col.x, col.y, col.z);
    }
    lanes.state[0] = PathLanes::kIdle;
    return 0;
}

#else

// One value per path (up to PathLanes::kMostLanes lanes), as the packed search's DF, Floats ...
// hold one per shape.
using DP = hn::CappedTag<float, PathLanes::kMostLanes>;
using DPI = hn::RebindToSigned<DP>;
using PathFloats = hn::Vec<DP>;
using PathInts = hn::Vec<DPI>;
using PathMask = hn::Mask<DP>;

int PathLaneCount() {
    return PathLanes::kMostLanes;
}

// The lanes set in `m`, as bits (lane 0 the lowest).
HWY_INLINE unsigned laneBits(PathMask m) {
    std::uint8_t bits[8] = {};
    hn::StoreMaskBits(DP(), m, bits);
    return bits[0] | static_cast<unsigned>(bits[1]) << 8;
}

// f(a, b) for the lanes set in `m` (a scalar double-precision step), `otherwise` elsewhere.
template <typename F>
HWY_INLINE PathFloats eachLane(PathMask m, PathFloats a, PathFloats b, float otherwise, F f) {
    const DP df;
    alignas(64) float av[PathLanes::kMostLanes];
    alignas(64) float bv[PathLanes::kMostLanes];
    alignas(64) float out[PathLanes::kMostLanes];
    hn::Store(a, df, av);
    hn::Store(b, df, bv);
    hn::Store(hn::Set(df, otherwise), df, out);
    for (unsigned lanes = laneBits(m); lanes != 0; lanes &= lanes - 1) {
        const int lane = __builtin_ctz(lanes);
        out[lane] = f(av[lane], bv[lane]);
    }
    return hn::Load(df, out);
}

// Steps taken in double precision, as the plain tests take them: a sphere's near root,
// float(-b - sqrt(disc)), and the factor that scales a sphere's normal to unit length,
// float(1 / sqrt(lengthSq)). Where vectors of doubles have a fixed size, each half of the lanes
// goes through one; elsewhere the lanes set in `m` are worked out one at a time.
#if HWY_HAVE_FLOAT64 && !PATHTRACER_SIZELESS_VECTORS
template <typename F> HWY_INLINE PathFloats inDoubles(PathFloats a, PathFloats b, F f) {
    const DP df;
    const hn::Half<DP> dh;
    const hn::Rebind<double, decltype(dh)> dd;
    const auto lower =
        f(dd, hn::PromoteTo(dd, hn::LowerHalf(dh, a)), hn::PromoteTo(dd, hn::LowerHalf(dh, b)));
    const auto upper =
        f(dd, hn::PromoteTo(dd, hn::UpperHalf(dh, a)), hn::PromoteTo(dd, hn::UpperHalf(dh, b)));
    return hn::Combine(df, hn::DemoteTo(dh, upper), hn::DemoteTo(dh, lower));
}
HWY_INLINE PathFloats nearRoots(PathMask, PathFloats b, PathFloats disc) {
    return inDoubles(
        b, disc, [](auto, auto bd, auto discd) { return hn::Sub(hn::Neg(bd), hn::Sqrt(discd)); });
}
HWY_INLINE PathFloats unitScales(PathMask, PathFloats lengthSq) {
    return inDoubles(lengthSq, lengthSq,
                     [](auto dd, auto l, auto) { return hn::Div(hn::Set(dd, 1.0), hn::Sqrt(l)); });
}
#else
HWY_INLINE PathFloats nearRoots(PathMask m, PathFloats b, PathFloats disc) {
    return eachLane(m, b, disc, -1.0f, [](float bl, float dl) {
        return static_cast<float>(static_cast<double>(-bl) - std::sqrt(static_cast<double>(dl)));
    });
}
HWY_INLINE PathFloats unitScales(PathMask m, PathFloats lengthSq) {
    return eachLane(m, lengthSq, lengthSq, 1.0f, [](float l, float) { return unitScale(l); });
}
#endif

// Each lane's value of `values` (a HitValues list of `count` shapes) for its shape `index`: from
// one or two registers holding the list, where it fits, else gathered from memory.
template <typename T>
HWY_INLINE hn::Vec<hn::Rebind<T, DP>> lookUp(const std::vector<T>& values,
                                             [[maybe_unused]] int count, PathInts index) {
    const hn::Rebind<T, DP> d;
#if !PATHTRACER_SIZELESS_VECTORS
    constexpr int kLanes = static_cast<int>(hn::MaxLanes(d));
    if (count <= kLanes) {
        return hn::TableLookupLanes(hn::LoadU(d, values.data()), hn::IndicesFromVec(d, index));
    }
    if (count <= 2 * kLanes) {
        const DPI di;
        const auto within = hn::IndicesFromVec(d, hn::And(index, hn::Set(di, kLanes - 1)));
        const auto upper = hn::RebindMask(d, hn::Gt(index, hn::Set(di, kLanes - 1)));
        return hn::IfThenElse(upper,
                              hn::TableLookupLanes(hn::LoadU(d, values.data() + kLanes), within),
                              hn::TableLookupLanes(hn::LoadU(d, values.data()), within));
    }
#endif
    return hn::GatherIndex(d, values.data(), index);
}

// The nearest shape each live lane's ray hits: its index (-1 for none) and distance (kNoHit).
HWY_INLINE void searchLanes(const PackedScene& scene, PathMask live, PathFloats ox, PathFloats oy,
                            PathFloats oz, PathFloats dx, PathFloats dy, PathFloats dz,
                            PathFloats& bestT, PathInts& bestIndex) {
    const DP df;
    const DPI di;
    const PathFloats epsilon = hn::Set(df, 0.003f);
    const PathFloats minHit = hn::Set(df, kMinHitDistance);
    bestT = hn::Set(df, kNoHit);
    bestIndex = hn::Set(di, -1);
    // The rays' origins and directions by axis: an axis-aligned shape loads the two along its
    // normal (folded into its subtraction and division) instead of branching on its axis.
    alignas(64) float along[6][PathLanes::kMostLanes];
    hn::Store(ox, df, along[0]);
    hn::Store(oy, df, along[1]);
    hn::Store(oz, df, along[2]);
    hn::Store(dx, df, along[3]);
    hn::Store(dy, df, along[4]);
    hn::Store(dz, df, along[5]);
    const auto distanceAlong = [&](const PackedScene::LaneShape& s) {
        return axisDistance(hn::Set(df, s.axis.at), hn::Load(df, along[s.axis.axis]),
                            hn::Load(df, along[3 + s.axis.axis]));
    };
    const auto keep = [&](PathMask accepted, PathFloats t, int index) {
        const PathMask nearer = hn::And(accepted, hn::Lt(t, bestT));
        bestT = hn::IfThenElse(nearer, t, bestT);
        bestIndex = hn::IfThenElse(hn::RebindMask(di, nearer), hn::Set(di, index), bestIndex);
    };
    // A triangle's inside test for the lanes whose distance `t` it may accept.
    const auto insideTest = [&](const PackedScene::LaneShape& s, PathFloats t) {
        const PathFloats px = pointAt(ox, dx, t), py = pointAt(oy, dy, t), pz = pointAt(oz, dz, t);
        // t >= 0.003 (no NaN): the plain test's bound, which also passes findClosestShape's.
        const PathMask reachable =
            hn::AndNot(outsideBox(df, s, px, py, pz), hn::And(live, hn::Ge(t, epsilon)));
        if (hn::AllFalse(df, reachable)) {
            return;
        }
        keep(hn::AndNot(outsideTriangle(df, s, px, py, pz), reachable), t, s.index);
    };
    // Shapes of a kind mostly come in runs (the scene lists its spheres, then its planes ...):
    // each run is tested in a loop of its own, so the kind is branched on once per run, not once
    // per shape.
    const std::vector<PackedScene::LaneShape>& shapes = scene.laneShapes();
    const PackedScene::LaneShape* next = shapes.data();
    const PackedScene::LaneShape* const end = next + shapes.size();
    const auto eachOfRun = [&](auto test) {
        const PackedScene::LaneShape::Kind kind = next->kind;
        do {
            test(*next);
            ++next;
        } while (next != end && next->kind == kind);
    };
    // Each case moves past its run and goes on; a kind without its case (a missing case fails
    // the build: -Werror=switch) would otherwise never move on.
    while (next != end) {
        switch (next->kind) {
        case PackedScene::LaneShape::AxisPlane:
            eachOfRun([&](const PackedScene::LaneShape& s) {
                const PathFloats t = distanceAlong(s);
                keep(hn::Gt(t, epsilon), t, s.index);
            });
            continue;
        case PackedScene::LaneShape::Plane:
            eachOfRun([&](const PackedScene::LaneShape& s) {
                const PathFloats t = planeDistance(df, s, ox, oy, oz, dx, dy, dz);
                keep(hn::Gt(t, epsilon), t, s.index);
            });
            continue;
        case PackedScene::LaneShape::Sphere:
            eachOfRun([&](const PackedScene::LaneShape& s) {
                PathFloats b, disc;
                sphereTerms(df, s, ox, oy, oz, dx, dy, dz, b, disc);
                // The near root is at most -b: only where -b passes the hit threshold can it.
                const PathMask candidate =
                    hn::And(live, hn::And(hn::Gt(disc, epsilon), hn::Gt(hn::Neg(b), minHit)));
                if (hn::AllFalse(df, candidate)) {
                    return;
                }
                const PathFloats t = nearRoots(candidate, b, disc);
                keep(hn::And(candidate, hn::Gt(t, minHit)), t, s.index);
            });
            continue;
        case PackedScene::LaneShape::AxisTriangle:
            eachOfRun([&](const PackedScene::LaneShape& s) { insideTest(s, distanceAlong(s)); });
            continue;
        case PackedScene::LaneShape::Triangle:
            eachOfRun([&](const PackedScene::LaneShape& s) {
                insideTest(s, triangleDistance(df, s, ox, oy, oz, dx, dy, dz));
            });
            continue;
        }
        preconditionBroken("a lane shape's kind is one of LaneShape::Kind", __FILE__, __LINE__);
    }
}

// How many paths ahead of the one it starts a lane fetches its chain's first hit and sum.
constexpr int kFetchAhead = 8;

// Makes lane `lane`'s held draw `k` the direction its next step takes.
HWY_INLINE void takeDraw(PathLanes& paths, int lane, int k) {
    const Vec3& next = gBounceTable.dir[paths.held[lane][k]];
    paths.nextX[lane] = next.x;
    paths.nextY[lane] = next.y;
    paths.nextZ[lane] = next.z;
}

// Lane `lane` takes its chain's next path that does not end at its first hit, tracing those
// that do on the way: false when the chain has none left.
HWY_INLINE bool startPath(const PackedScene& scene, PathLanes& paths, int lane) {
    LaneChain& c = paths.chains[lane];
    const PackedScene::HitValues& h = scene.hitValues();
    while (c.next < c.count) {
        const int i = c.next++;
        // Sixteen chains each walk their own stretch of first hits and sums, more streams than
        // the processor follows on its own: their paths a few ahead are fetched now, while the
        // lanes' steps go on.
        __builtin_prefetch(c.starts + i + kFetchAhead);
        __builtin_prefetch(c.sums + i + kFetchAhead, 1);
        noteRowStart(c, i);
        const PathStart& start = c.starts[i];
        if (start.shape < 0) {
            addClamped(c.sums[i], 0.0f, 0.0f, 0.0f);
            continue;
        }
        if (HWY_UNLIKELY(!withinRange(lanesOf(start.point), 0x1p63f))) {
            const Vec3 col = farPath(scene, start, 0, *c.draws, c.segments);
            addClamped(c.sums[i], col.x, col.y, col.z);
            continue;
        }
        // A path takes at most one bounce per hit.
        c.draws->reserve(PathLanes::kDraws);
        const std::uint16_t* held = c.draws->reservedBounces();
        const Vec3& drawn = gBounceTable.dir[held[0]];
        const int shape = start.shape;
        if ((h.traits[shape] & PackedScene::HitValues::kLight) != 0) {
            c.draws->useReserved(1);
            addClamped(c.sums[i], h.red[shape], h.green[shape], h.blue[shape]);
            continue;
        }
        paths.held[lane] = held;
        takeDraw(paths, lane, 1);
        const Vec3 dir = mirrored(drawn, dot(start.normal, drawn));
        paths.px[lane] = start.point.x;
        paths.py[lane] = start.point.y;
        paths.pz[lane] = start.point.z;
        paths.dx[lane] = dir.x;
        paths.dy[lane] = dir.y;
        paths.dz[lane] = dir.z;
        paths.red[lane] = h.red[shape];
        paths.green[lane] = h.green[shape];
        paths.blue[lane] = h.blue[shape];
        paths.used[lane] = 1;
        paths.segments[lane] = 0;
        paths.pixel[lane] = i;
        paths.state[lane] = PathLanes::kInFlight;
        return true;
    }
    return false;
}

// One search for every lane in flight of lanes [first, first + the vector's lanes), and what its
// hit makes of the path. Returns the lanes whose paths ended, and adds those whose paths go on
// to `goingOn` (as bits, lane 0 the lowest).
HWY_INLINE unsigned stepLanes(const PackedScene& scene, PathLanes& paths, int first,
                              unsigned& goingOn) {
    const DP df;
    const DPI di;
    const PackedScene::HitValues& h = scene.hitValues();
    const PathMask live = hn::RebindMask(
        df, hn::Eq(hn::Load(di, paths.state + first), hn::Set(di, PathLanes::kInFlight)));
    const PathFloats ox = hn::Load(df, paths.px + first), oy = hn::Load(df, paths.py + first),
                     oz = hn::Load(df, paths.pz + first);
    const PathFloats dx = hn::Load(df, paths.dx + first), dy = hn::Load(df, paths.dy + first),
                     dz = hn::Load(df, paths.dz + first);
    PathFloats t;
    PathInts found;
    searchLanes(scene, live, ox, oy, oz, dx, dy, dz, t, found);
    const PathMask hit = hn::And(live, hn::RebindMask(df, hn::Gt(found, hn::Set(di, -1))));
    const PathInts index = hn::IfThenElseZero(hn::RebindMask(di, hit), found);

    // The hit point as Shape::getCollisionInfo computes it.
    const PathFloats px = hn::Add(hn::Mul(dx, t), ox);
    const PathFloats py = hn::Add(hn::Mul(dy, t), oy);
    const PathFloats pz = hn::Add(hn::Mul(dz, t), oz);
    const int count = static_cast<int>(scene.shapes().size());
    const PathInts traits = lookUp(h.traits, count, index);
    const auto hasTrait = [&](std::int32_t k) {
        return hn::And(hit,
                       hn::RebindMask(df, hn::Ne(hn::And(traits, hn::Set(di, k)), hn::Zero(di))));
    };

    // The hit's bounce: the path's next draw, mirrored onto the normal's side. A sphere's side
    // is taken from the hit point's offset from its centre where that tells its sign
    // (sphereSide), else from the unit normal.
    const PathFloats gx = hn::Load(df, paths.nextX + first);
    const PathFloats gy = hn::Load(df, paths.nextY + first);
    const PathFloats gz = hn::Load(df, paths.nextZ + first);
    PathFloats side = dot(lookUp(h.nx, count, index), lookUp(h.ny, count, index),
                          lookUp(h.nz, count, index), gx, gy, gz);
    const PathMask sphere = hasTrait(PackedScene::HitValues::kSphere);
    if (!hn::AllFalse(df, sphere)) {
        const PathFloats cx = hn::Sub(px, lookUp(h.cx, count, index));
        const PathFloats cy = hn::Sub(py, lookUp(h.cy, count, index));
        const PathFloats cz = hn::Sub(pz, lookUp(h.cz, count, index));
        PathMask sure;
        side = hn::IfThenElse(sphere, sphereSide(df, cx, cy, cz, gx, gy, gz, sure), side);
        const PathMask unsure = hn::AndNot(sure, sphere);
        if (HWY_UNLIKELY(!hn::AllFalse(df, unsure))) {
            const PathFloats lengthSq =
                hn::Add(hn::Add(hn::Mul(cx, cx), hn::Mul(cy, cy)), hn::Mul(cz, cz));
            const PathFloats scale = unitScales(unsure, lengthSq);
            side = hn::IfThenElse(
                unsure, dot(hn::Mul(cx, scale), hn::Mul(cy, scale), hn::Mul(cz, scale), gx, gy, gz),
                side);
        }
    }
    const PathMask flip = hn::Lt(side, hn::Zero(df));
    const PathFloats nextX = hn::IfThenElse(flip, hn::Neg(gx), gx);
    const PathFloats nextY = hn::IfThenElse(flip, hn::Neg(gy), gy);
    const PathFloats nextZ = hn::IfThenElse(flip, hn::Neg(gz), gz);

    // A path in flight has bounced off as many surfaces as it used draws: with this hit's, it
    // goes on only within the depth limit.
    const PathMask light = hasTrait(PackedScene::HitValues::kLight);
    const PathInts used = hn::Load(di, paths.used + first);
    const PathInts usedNow =
        hn::Add(used, hn::IfThenElseZero(hn::RebindMask(di, hit), hn::Set(di, 1)));
    const PathMask goesOn =
        hn::AndNot(hn::Or(light, hn::RebindMask(df, hn::Gt(usedNow, hn::Set(di, kMaxDepth)))), hit);
    // The colour times the hit's factor: the colour on, or the light reached. A path that ends
    // otherwise brings back black.
    const PathMask lit = hn::Or(goesOn, light);
    const PathFloats onR = hn::IfThenElseZero(
        lit, hn::Mul(hn::Load(df, paths.red + first), lookUp(h.red, count, index)));
    const PathFloats onG = hn::IfThenElseZero(
        lit, hn::Mul(hn::Load(df, paths.green + first), lookUp(h.green, count, index)));
    const PathFloats onB = hn::IfThenElseZero(
        lit, hn::Mul(hn::Load(df, paths.blue + first), lookUp(h.blue, count, index)));

    const auto on = [&](PathFloats going, PathFloats ended) {
        return hn::IfThenElse(goesOn, going, ended);
    };
    hn::Store(on(px, ox), df, paths.px + first);
    hn::Store(on(py, oy), df, paths.py + first);
    hn::Store(on(pz, oz), df, paths.pz + first);
    hn::Store(on(nextX, dx), df, paths.dx + first);
    hn::Store(on(nextY, dy), df, paths.dy + first);
    hn::Store(on(nextZ, dz), df, paths.dz + first);
    hn::Store(onR, df, paths.red + first);
    hn::Store(onG, df, paths.green + first);
    hn::Store(onB, df, paths.blue + first);
    const PathMask ended = hn::AndNot(goesOn, live);
    const auto ints = [&](PathMask m) { return hn::RebindMask(di, m); };
    hn::Store(usedNow, di, paths.used + first);
    hn::Store(hn::Add(hn::Load(di, paths.segments + first),
                      hn::IfThenElseZero(ints(live), hn::Set(di, 1))),
              di, paths.segments + first);
    hn::Store(hn::IfThenElse(ints(ended), hn::Set(di, PathLanes::kEnded),
                             hn::Load(di, paths.state + first)),
              di, paths.state + first);
    goingOn |= laneBits(goesOn) << first;
    return laneBits(ended) << first;
}

// A path that ended in the last step: its colour added to its pixel, its draws used up.
HWY_INLINE void endPath(PathLanes& paths, int lane) {
    LaneChain& c = paths.chains[lane];
    addClamped(c.sums[paths.pixel[lane]], paths.red[lane], paths.green[lane], paths.blue[lane]);
    c.draws->useReserved(paths.used[lane]);
    c.segments += static_cast<std::uint64_t>(paths.segments[lane]);
    paths.state[lane] = PathLanes::kStarting;
}

int TracePathLanes(const PackedScene& scene, PathLanes& paths) {
    const int vectorLanes = static_cast<int>(hn::Lanes(DP()));
    const unsigned blockBits = (1u << vectorLanes) - 1; // at most sixteen
    requirePackedForThisSet(scene);
    const int lanes = PathLanes::kMostLanes;
    // The lanes given a chain, or left starting by the last call, and those in flight.
    unsigned starting = 0;
    unsigned inFlight = 0;
    for (int lane = 0; lane < lanes; ++lane) {
        starting |= static_cast<unsigned>(paths.state[lane] == PathLanes::kStarting) << lane;
        inFlight |= static_cast<unsigned>(paths.state[lane] == PathLanes::kInFlight) << lane;
    }
    for (;;) {
        for (; starting != 0; starting &= starting - 1) {
            const int lane = __builtin_ctz(starting);
            if (!startPath(scene, paths, lane)) {
                paths.state[lane] = PathLanes::kIdle;
                return lane;
            }
            inFlight |= 1u << lane;
        }
        if (inFlight == 0) {
            return -1;
        }
        // Sixteen lanes, in as many vectors as that takes: a narrow vector's searches then
        // have others beside them, and the steps' bookkeeping is shared by as many paths.
        unsigned ended = 0;
        unsigned goingOn = 0;
        for (int first = 0; first < PathLanes::kMostLanes; first += vectorLanes) {
            if (((inFlight >> first) & blockBits) != 0) {
                ended |= stepLanes(scene, paths, first, goingOn);
            }
        }
        // A path in flight has used one draw per hit: the next is the one after those.
        for (; goingOn != 0; goingOn &= goingOn - 1) {
            const int lane = __builtin_ctz(goingOn);
            takeDraw(paths, lane, paths.used[lane]);
        }
        for (unsigned e = ended; e != 0; e &= e - 1) {
            endPath(paths, __builtin_ctz(e));
        }
        inFlight &= ~ended;
        starting = ended;
    }
}

#endif // HWY_TARGET == HWY_SCALAR

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#endif // include guard
