// SPDX-License-Identifier: MIT
// The closest-hit search over a PackedScene, written once with Highway's portable vectors and
// compiled for each instruction set by fast_paths.cpp (which includes this file once per set).
// Every lane does IEEE single-precision operations in the order Shape::intersect does them: no
// fused multiply-add, no approximate reciprocal or square root.
//
// It is written for scalable vectors too (Arm SVE, RISC-V V): their lane count is known only at
// run time (a group is searched in the first Lanes(DF()) lanes, at most kMaxLanes), and as the
// compiler's built-in types they take no C++ operators and cannot be members of records. So
// arithmetic is spelled with Highway's functions (Add, Mul, Lt ...), and vectors are passed
// around as separate values.

// Include guard that lets the file be included again for each instruction set.
#if defined(PATHTRACER_PACKED_SEARCH_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef PATHTRACER_PACKED_SEARCH_INL_H_
#undef PATHTRACER_PACKED_SEARCH_INL_H_
#else
#define PATHTRACER_PACKED_SEARCH_INL_H_
#endif

#include <cmath>
#include <cstdint>
#include <cstring>

#include <hwy/highway.h>

#include "tracer/packed_scene.h"
#include "tracer/plain_search.h"
#include "tracer/shape_kernels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Which groups a search takes: every one, or only the first of each kind that always has one,
// for a scene that has no others (PackedScene::inFirstGroups). The second is straight-line code:
// at the head of a loop over groups the compiler keeps the nearest hit so far in memory, a store
// and a load on the way of every search, even where the loop has nothing to do.
enum class Groups { kEvery, kFirstOnly };

#if HWY_TARGET != HWY_SCALAR

// A group of shapes' values (up to PackedScene::kMaxLanes lanes; four on 128-bit sets).
using DF = hn::CappedTag<float, PackedScene::kMaxLanes>;
using DI = hn::RebindToSigned<DF>;
using Floats = hn::Vec<DF>;
using Ints = hn::Vec<DI>;
using FloatMask = hn::Mask<DF>;
using IntMask = hn::Mask<DI>;
// A point or direction as one register: x, y and z in the first three lanes.
using D3 = hn::Full128<float>;
using XYZ = hn::Vec<D3>;

// Vectors whose lane count is known only at run time, or built-in types of the compiler.
#undef PATHTRACER_SIZELESS_VECTORS
#if HWY_HAVE_SCALABLE || (defined(HWY_TARGET_IS_SVE) && HWY_TARGET_IS_SVE)
#define PATHTRACER_SIZELESS_VECTORS 1
#else
#define PATHTRACER_SIZELESS_VECTORS 0
#endif

HWY_INLINE XYZ lanesOf(const Vec3& v) {
    alignas(16) float xyzw[4];
    std::memcpy(xyzw, &v, sizeof xyzw);
    return hn::Load(D3(), xyzw);
}

HWY_INLINE Floats load(const PackedScene::FloatRow& values) {
    return hn::Load(DF(), values);
}
HWY_INLINE Ints load(const PackedScene::IntRow& values) {
    return hn::Load(DI(), values);
}

HWY_INLINE IntMask asInts(FloatMask m) {
    return hn::RebindMask(DI(), m);
}

// x, y and z in the first three lanes (of every 128-bit block where the lane count is fixed).
template <class D> HWY_INLINE hn::Vec<D> xyzLanes(D d, XYZ v) {
#if PATHTRACER_SIZELESS_VECTORS
    alignas(16) float xyzw[4];
    hn::Store(v, D3(), xyzw);
    return hn::LoadN(d, xyzw, 4);
#else
    if constexpr (hn::MaxLanes(d) == 4) {
        return v;
    } else {
        return hn::Combine(d, v, v);
    }
#endif
}

// Each of x, y and z of v in every lane.
HWY_INLINE void broadcastXYZ(XYZ v, Floats& x, Floats& y, Floats& z) {
    const DF df;
#if PATHTRACER_SIZELESS_VECTORS
    x = hn::Set(df, hn::ExtractLane(v, 0));
    y = hn::Set(df, hn::ExtractLane(v, 1));
    z = hn::Set(df, hn::ExtractLane(v, 2));
#else
    const Floats all = xyzLanes(df, v);
    x = hn::Broadcast<0>(all);
    y = hn::Broadcast<1>(all);
    z = hn::Broadcast<2>(all);
#endif
}

// The first four lanes of v (all the same), as a point or direction register.
template <class V> HWY_INLINE XYZ firstFour(V v) {
#if PATHTRACER_SIZELESS_VECTORS
    return hn::Set(D3(), hn::GetLane(v));
#else
    if constexpr (hn::MaxLanes(hn::DFromV<V>()) == 4) {
        return v;
    } else {
        return hn::LowerHalf(v);
    }
#endif
}

// Every distance kept as the nearest is positive (greater than the hit threshold, or kNoHit), and
// positive floats, NaN aside, are ordered as their bit patterns are as integers: distances are
// compared as integers, which takes the processor fewer cycles than a float comparison.
HWY_INLINE Ints bitsOf(Floats v) {
    return hn::BitCast(DI(), v);
}

// v * n for each lane's normal component n of 1 or -1 (sign bit in `flip`): v with its sign bit
// flipped or not.
HWY_INLINE Floats timesNormal(Ints flip, Floats v) {
    return hn::BitCast(DF(), hn::Xor(hn::BitCast(DI(), v), flip));
}

// An axis-aligned group's normals: which coordinate each lane takes (coordinateOf), with what
// sign (load(a.flip), for the side of a bounce), and where its plane lies (load(a.at)).
using Coordinates = decltype(hn::IndicesFromVec(DF(), hn::Zero(DI())));
HWY_INLINE Coordinates coordinateOf(const PackedScene::AxisNormal& a) {
    return hn::IndicesFromVec(DF(), load(a.axis));
}
// Each lane's coordinate along its shape's axis, from x, y and z in lanes: one permutation.
HWY_INLINE Floats along(Coordinates coordinate, Floats xyz) {
    return hn::TableLookupLanes(xyz, coordinate);
}

// A sphere's near root, -b - sqrt(disc), is worked out in double precision. Where a register
// holds four doubles, the first four lanes' roots are taken in one go (any lane's value, also
// one of no candidate, is then computed; the caller masks those off); true if so.
template <class D>
HWY_INLINE bool fourRootsAtOnce(D d, hn::Vec<D> minusB, hn::Vec<D> disc, hn::Vec<D>& roots) {
    if constexpr (!PATHTRACER_SIZELESS_VECTORS && hn::MaxLanes(d) == 8) {
        const hn::Half<D> d4;
        const hn::Repartition<double, D> dd;
        roots = hn::ZeroExtendVector(
            d, hn::DemoteTo(d4, hn::Sub(hn::PromoteTo(dd, hn::LowerHalf(d4, minusB)),
                                        hn::Sqrt(hn::PromoteTo(dd, hn::LowerHalf(d4, disc))))));
        return true;
    } else {
        return false;
    }
}

// Calls `search` on the groups of a kind that always has one: the first without a loop. (The
// loop compares addresses: a count of groups would take a division by the group's size at every
// search.)
template <Groups kGroups, typename Group, typename Search>
HWY_INLINE void searchGroups(const std::vector<Group>& groups, Search search) {
    search(groups.front());
    if constexpr (kGroups == Groups::kEvery) {
        for (auto g = groups.begin() + 1; g != groups.end(); ++g) {
            search(*g);
        }
    }
}
// Calls `search` on every group of a kind a scene may lack; with kFirstOnly there is none.
template <Groups kGroups, typename Group, typename Search>
HWY_INLINE void searchOtherGroups(const std::vector<Group>& groups, Search search) {
    if constexpr (kGroups == Groups::kEvery) {
        for (const Group& g : groups) {
            search(g);
        }
    }
}

// Keeps, per lane, the nearest accepted distance, ties going to the lower shape index: the
// nearest hit so far in each lane is bestT, its shape index bestIndex and the side of the next
// bounce bestSide.
HWY_INLINE void keepNearest(IntMask accepted, Floats t, Ints index, Floats side, Floats& bestT,
                            Ints& bestIndex, Floats& bestSide) {
    // Where a lane's distance is not accepted its integer comparison means nothing, and is
    // masked off.
    const Ints tBits = bitsOf(t), bestBits = bitsOf(bestT);
    const IntMask better =
        hn::And(accepted, hn::Or(hn::Lt(tBits, bestBits),
                                 hn::And(hn::Eq(tBits, bestBits), hn::Lt(index, bestIndex))));
    const FloatMask betterF = hn::RebindMask(DF(), better);
    bestT = hn::IfThenElse(betterF, t, bestT);
    bestIndex = hn::IfThenElse(better, index, bestIndex);
    bestSide = hn::IfThenElse(betterF, side, bestSide);
}

// A bounce's side with the group's lights marked (PackedScene::kLightBits): the exponent's bits
// all set make a light's side not finite, so that the path loop can tell a path's end from the
// side alone, as soon as the nearest lane's is known, instead of from the shape's record after
// its index.
template <typename Group> HWY_INLINE Floats markLights(const Group& g, Floats side) {
    return hn::BitCast(DF(), hn::Or(hn::BitCast(DI(), side), load(g.light)));
}

// The lanes' shortcuts rest on the products of the tests staying in range (searchableAlongAxis
// and insideTestBox in packed_scene.cpp derive it): the search takes only rays that start within
// kFarthestOrigin and run along a direction within kFastestDirection in every coordinate (no
// infinity or NaN, then). Its callers send other rays to the plain search. (The fourth lanes
// are 0; one that is not only sends the ray to the plain search too.)
constexpr float kFarthestOrigin = 0x1p64f;
constexpr float kFastestDirection = 0x1p20f;
HWY_INLINE bool withinRange(XYZ v, float limit) {
    return hn::AllTrue(D3(), hn::Le(hn::Abs(v), hn::Set(D3(), limit)));
}

// The index in the shape list of the nearest shape of `scene` hit by the ray from `origin` along
// `drawn` with its sign bits flipped by `flip` (0 or 0x80000000: the direction mirrored() gives),
// or -1; `t` receives its distance or kNoHit. Ties go to the earlier shape. Also gives `side`,
// the side test of the bounce that follows (normal . `nextDir`), worked out alongside the search
// instead of after it: from the stored normal of a plane or triangle; for a sphere a value of
// the same sign (sphereSide), or NaN where the caller must work it out from the unit normal; for
// a shape that emits, a value that is not finite (markLights). The origin must not be the eye
// point (planes' eye distances are not used).
//
// Mirroring a direction u into d = -u flips signs only, and exactly: every product with a
// component of u, every sum of such products and every quotient by one changes only its sign,
// and d * t = u * -t. So distances and points are computed along the drawn direction and the
// flip is applied to the distances at the end: the divisions of the next search need not wait
// for the side test of the hit before.
//
// `tLanes` receives t in every lane, for the next hit point without a round trip through a
// scalar register. With kFirstOnly, only for a scene that inFirstGroups.
template <Groups kGroups = Groups::kEvery>
HWY_INLINE int packedClosestHit(const PackedScene& scene, XYZ origin, XYZ drawn, std::uint32_t flip,
                                XYZ nextDir, float& t, float& side, XYZ& tLanes) {
    const DF df;
    const DI di;
    const Floats o = xyzLanes(df, origin), d = xyzLanes(df, drawn), u = xyzLanes(df, nextDir);
    Floats ox, oy, oz, dx, dy, dz, ux, uy, uz;
    broadcastXYZ(origin, ox, oy, oz);
    broadcastXYZ(drawn, dx, dy, dz);
    broadcastXYZ(nextDir, ux, uy, uz);
    const Ints mirror = hn::Set(di, static_cast<std::int32_t>(flip));
    // A value that changes sign with the direction (a distance, or b for a sphere), for the
    // mirrored direction from the one for the drawn direction.
    const auto forMirrored = [&](Floats v) { return timesNormal(mirror, v); };
    const Floats minHit = hn::Set(df, kMinHitDistance);
    const Floats epsilon = hn::Set(df, 0.003f);
    const Ints noIndex = hn::Set(di, -1);
    Floats bestT = hn::Set(df, kNoHit);
    Ints bestIndex = noIndex;
    Floats bestSide = hn::Zero(df);
    const auto keep = [&](IntMask accepted, Floats t, Ints index, Floats side) {
        keepNearest(accepted, t, index, side, bestT, bestIndex, bestSide);
    };

    // Each kind is searched on its own; the groups meet only in keepNearest, so the processor
    // can work on all of them at once.
    Floats planeDistances = hn::Zero(df); // along the drawn direction, from the last plane group
    searchGroups<kGroups>(scene.axisPlanes(), [&](const PackedScene::PlaneGroup& g) {
        const Coordinates axis = coordinateOf(g.axis);
        planeDistances = axisDistance(load(g.axis.at), along(axis, o), along(axis, d));
        const Floats tp = forMirrored(planeDistances);
        const Ints index = load(g.index);
        // Lanes without a shape index compute distances for the triangles only.
        keep(hn::And(asInts(hn::Gt(tp, epsilon)), hn::Gt(index, noIndex)), tp, index,
             markLights(g, timesNormal(load(g.axis.flip), along(axis, u))));
    });
    searchOtherGroups<kGroups>(scene.planes(), [&](const PackedScene::PlaneGroup& g) {
        const Floats tp = forMirrored(planeDistance(df, g, ox, oy, oz, dx, dy, dz));
        keep(asInts(hn::Gt(tp, epsilon)), tp, load(g.index),
             markLights(g, dot(load(g.nx), load(g.ny), load(g.nz), ux, uy, uz)));
    });

    searchGroups<kGroups>(scene.spheres(), [&](const PackedScene::SphereGroup& g) {
        Floats drawnB, disc;
        sphereTerms(df, g, ox, oy, oz, dx, dy, dz, drawnB, disc);
        const Floats b = forMirrored(drawnB);
        // The near root is at most -b, so a lane with -b at or below the hit threshold cannot
        // be hit; square roots (in double precision) are taken only where one can.
        const FloatMask candidate = hn::And(hn::Gt(disc, epsilon), hn::Gt(hn::Neg(b), minHit));
        if (hn::AllFalse(df, candidate)) {
            return;
        }
        Floats ts = hn::Set(df, -1.0f);
        std::uint8_t bits[8] = {};
        hn::StoreMaskBits(df, candidate, bits);
        unsigned lanes = bits[0];
        if (fourRootsAtOnce(df, hn::Neg(b), disc, ts)) {
            lanes &= ~0xFu;
        }
        if (lanes != 0) {
            alignas(32) float bLanes[PackedScene::kMaxLanes];
            alignas(32) float discLanes[PackedScene::kMaxLanes];
            hn::Store(b, df, bLanes);
            hn::Store(disc, df, discLanes);
            // Each root goes into its lane in a register (stored to memory and loaded as a
            // whole, a lane would wait for the store to reach the cache).
            const Ints laneNumbers = hn::Iota(di, 0);
            for (; lanes != 0; lanes &= lanes - 1) {
                const int lane = __builtin_ctz(lanes);
                const float root =
                    static_cast<float>(static_cast<double>(-bLanes[lane]) -
                                       std::sqrt(static_cast<double>(discLanes[lane])));
                ts = hn::IfThenElse(hn::RebindMask(df, hn::Eq(laneNumbers, hn::Set(di, lane))),
                                    hn::Set(df, root), ts);
            }
        }
        // The side of the next bounce off each lane's sphere, from its hit point as the path
        // loop takes it (the mirrored direction times ts, plus the origin), or NaN where only
        // the unit normal tells it.
        const Floats tDrawn = forMirrored(ts);
        FloatMask sure;
        const Floats side =
            sphereSide(df, hn::Sub(pointAt(ox, dx, tDrawn), load(g.cx)),
                       hn::Sub(pointAt(oy, dy, tDrawn), load(g.cy)),
                       hn::Sub(pointAt(oz, dz, tDrawn), load(g.cz)), ux, uy, uz, sure);
        keep(asInts(hn::And(candidate, hn::Gt(ts, minHit))), ts, load(g.index),
             markLights(g, hn::IfThenElse(sure, side, hn::NaN(df))));
    });

    // The inside test of a group of triangles, given their plane distances.
    const auto insideTest = [&](const PackedScene::TriangleGroup& g, Floats drawnT, Floats sideOf) {
        // Only a lane whose hit point is near the triangle (see insideTestBox) needs the inside
        // test; a NaN coordinate is not outside, and the test decides as the plain one does.
        // (Whether the distance could still win is left to keepNearest: waiting for the other
        // kinds' distances here would only lengthen the search.)
        const Floats tt = forMirrored(drawnT);
        const Floats px = pointAt(ox, dx, drawnT), py = pointAt(oy, dy, drawnT),
                     pz = pointAt(oz, dz, drawnT);
        const FloatMask reachable = hn::AndNot(outsideBox(df, g, px, py, pz), hn::Ge(tt, epsilon));
        if (hn::AllFalse(df, reachable)) {
            return;
        }
        keep(asInts(hn::And(hn::AndNot(outsideTriangle(df, g, px, py, pz), reachable),
                            hn::Gt(tt, minHit))),
             tt, load(g.index), markLights(g, sideOf));
    };
    const bool shared = scene.sharesPlaneDistances();
    searchGroups<kGroups>(scene.axisTriangles(), [&](const PackedScene::TriangleGroup& g) {
        const Coordinates axis = coordinateOf(g.axis);
        const Floats drawnT =
            shared ? hn::TableLookupLanes(planeDistances, hn::IndicesFromVec(df, load(g.planeLane)))
                   : axisDistance(load(g.axis.at), along(axis, o), along(axis, d));
        insideTest(g, drawnT, timesNormal(load(g.axis.flip), along(axis, u)));
    });
    searchOtherGroups<kGroups>(scene.triangles(), [&](const PackedScene::TriangleGroup& g) {
        insideTest(g, triangleDistance(df, g, ox, oy, oz, dx, dy, dz),
                   dot(load(g.nx), load(g.ny), load(g.nz), ux, uy, uz));
    });

    // The nearest distance, then the first shape in list order at that distance.
    const Ints bestBits = bitsOf(bestT);
    const Ints nearest = hn::MinOfLanes(di, bestBits);
    tLanes = firstFour(hn::BitCast(df, nearest));
    t = hn::GetLane(tLanes);
    if (!(t < kNoHit)) {
        return -1;
    }
    // The first shape in list order at that distance has the least index of the lanes there (a
    // shape lies in one lane). Its side is the greatest of those lanes' sides' bits, the others
    // taken as the least int: the one lane's bits, as lanes rarely tie; where they do, only the
    // winner's lane is taken. Both folds stay in registers, side by side, from the nearest.
    const IntMask atNearest = hn::Eq(bestBits, nearest);
    const Ints index =
        hn::MinOfLanes(di, hn::IfThenElse(atNearest, bestIndex, hn::Set(di, INT32_MAX)));
    IntMask winner = atNearest;
    if (HWY_UNLIKELY(hn::CountTrue(di, atNearest) > 1)) {
        winner = hn::And(atNearest, hn::Eq(bestIndex, index));
    }
    const Ints sideBits = hn::IfThenElse(winner, hn::BitCast(di, bestSide), hn::Set(di, INT32_MIN));
    side = hn::GetLane(hn::BitCast(df, hn::MaxOfLanes(di, sideBits)));
    return hn::GetLane(index);
}

#endif // HWY_TARGET != HWY_SCALAR

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#endif // include guard
