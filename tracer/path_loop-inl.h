// SPDX-License-Identifier: MIT
// The path loop of the fast tracer: one path after another, each bounce's next hit found by the
// packed search (packed_search-inl.h), the plain search where a ray is out of its range, and
// plain code alone on a set without vectors. Compiled for each instruction set by fast_paths.cpp,
// which includes this file once per set.

// Include guard that lets the file be included again for each instruction set.
#if defined(PATHTRACER_PATH_LOOP_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef PATHTRACER_PATH_LOOP_INL_H_
#undef PATHTRACER_PATH_LOOP_INL_H_
#else
#define PATHTRACER_PATH_LOOP_INL_H_
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <hwy/highway.h>

#include "scene/shape.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"
#include "tracer/hemisphere.h"
#include "tracer/packed_scene.h"
#include "tracer/packed_search-inl.h"
#include "tracer/path_tracer.h"
#include "tracer/plain_search.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The surfaces a path has bounced off, and the light it reached.
struct Bounces {
    const Shape* off[kMaxDepth + 1];
    int count = 0;
    Vec3 light; // black unless the path reaches a light
};

// Whether a path's hit is a light, where it ends: then the path takes its emission.
HWY_INLINE bool endsAtLight(Bounces& path, const Shape* hit) {
    if (isEmitter(*hit)) {
        path.light = hit->emission;
        return true;
    }
    return false;
}

// Takes a path's hit that is no light, at `depth` (then counted one deeper): false when the path
// ends there, past the depth limit.
HWY_INLINE bool bouncesOff(Bounces& path, const Shape* hit, int& depth) {
    path.off[path.count++] = hit;
    return ++depth <= kMaxDepth;
}

// Folds the colours and emissions of the surfaces a path bounced off, from the far end back, in
// the order the recursive form returns through them, onto the light the path reached.
HWY_INLINE Vec3 foldPath(const Bounces& path) {
    Vec3 light = path.light;
    for (int i = path.count; i > 0;) {
        const Shape* s = path.off[--i];
        light = makeVec3(s->color.x * light.x + s->emission.x, s->color.y * light.y + s->emission.y,
                         s->color.z * light.z + s->emission.z);
    }
    return light;
}

// The plain search over the scene's shapes, and the path walked with it: the whole tracer on a
// set without vectors, and elsewhere for rays and paths out of the packed search's range.
HWY_INLINE int plainSearch(const PackedScene& scene, const Vec3& origin, const Vec3& dir,
                           float& t) {
    const Shape* hit = findClosestShape(scene.shapes(), origin, dir, t, false);
    return hit == nullptr ? -1 : static_cast<int>(hit - scene.shapes().data());
}

HWY_INLINE Vec3 plainPath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    if (start.shape < 0 || depth > kMaxDepth) {
        return Vec3{};
    }
    Bounces path;
    const Shape* hit = &scene.shapes()[start.shape];
    Vec3 point = start.point;
    Vec3 normal = start.normal;
    for (;;) {
        // The bounce off each hit is drawn before the light test.
        const Vec3 next = randomRayInHemisphere(normal, draws);
        if (endsAtLight(path, hit) || !bouncesOff(path, hit, depth)) {
            break;
        }
        ++segments;
        float t = 0.0f;
        const int index = plainSearch(scene, point, next, t);
        if (index < 0) {
            break;
        }
        hit = &scene.shapes()[index];
        const Vec3 from = point;
        hit->getCollisionInfo(from, next, t, point, normal);
    }
    return foldPath(path);
}

#if HWY_TARGET == HWY_SCALAR

int PackedLaneCount() {
    return 1;
}

HWY_INLINE int search(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    return plainSearch(scene, origin, dir, t);
}

template <Groups kGroups = Groups::kEvery>
HWY_INLINE Vec3 tracePath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    return plainPath(scene, start, depth, draws, segments);
}

#else

int PackedLaneCount() {
    return static_cast<int>(hn::Lanes(DF()));
}

HWY_INLINE Vec3 toVec3(XYZ v) {
    alignas(16) float xyzw[4];
    hn::Store(v, D3(), xyzw);
    return makeVec3(xyzw[0], xyzw[1], xyzw[2]);
}

HWY_INLINE int search(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    const XYZ o = lanesOf(origin), d = lanesOf(dir);
    if (!withinRange(o, kFarthestOrigin) || !withinRange(d, kFastestDirection)) {
        return plainSearch(scene, origin, dir, t);
    }
    float side = 0.0f;
    XYZ tLanes;
    return packedClosestHit(scene, o, d, 0, d, t, side, tLanes);
}

// A path that starts far out, traced the plain way (kept out of the loop below).
HWY_NOINLINE Vec3 farPath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    return plainPath(scene, start, depth, draws, segments);
}

// Everything the path loop calls is inlined into it, the bounce search included, so that a hit's
// values go on to the next search in registers. With kFirstOnly, only for a scene that
// inFirstGroups.
template <Groups kGroups = Groups::kEvery>
HWY_INLINE Vec3 tracePath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    if (start.shape < 0 || depth > kMaxDepth) {
        return Vec3{};
    }
    // Each segment moves a point by less than kNoHit along each axis (the bounce directions are
    // unit vectors), so a path that starts within 2^63 keeps every origin of its searches within
    // kFarthestOrigin.
    if (HWY_UNLIKELY(!withinRange(lanesOf(start.point), 0x1p63f))) {
        return farPath(scene, start, depth, draws, segments);
    }
    // Walk forward remembering the surfaces bounced off, then fold their colours.
    Bounces path;
    // The point the path has reached, kept in one register: x, y, z and a lane no one reads.
    XYZ point = lanesOf(start.point);
    const Shape* hit = &scene.shapes()[start.shape];
    // The bounce off each hit is drawn before the light test. Its side test (normal . drawn
    // direction) comes out of the search that found the hit, so the next direction is known as
    // soon as the hit is.
    // A path takes at most one bounce per hit; having them all at hand keeps the call that
    // takes another run out of the loop (nothing need be saved around it).
    static_assert(kMaxDepth + 1 <= DrawStream::kMostReserved);
    draws.reserve(kMaxDepth + 1);
    const Vec3* drawn = &gBounceTable.dir[draws.nextReservedBounce()];
    float side = dot(start.normal, *drawn);
    const hn::RebindToUnsigned<D3> bits;
    if (endsAtLight(path, hit)) {
        return foldPath(path);
    }
    for (;;) {
        const std::uint32_t flip = mirrorFlip(side);
        if (!bouncesOff(path, hit, depth)) {
            break;
        }
        ++segments;
        // The next bounce is looked at now but used up only if this ray hits something.
        const Vec3* nextDrawn = &gBounceTable.dir[draws.peekReservedBounce()];
        float t = 0.0f;
        XYZ tLanes;
        const XYZ drawnLanes = lanesOf(*drawn);
        const int index = packedClosestHit<kGroups>(scene, point, drawnLanes, flip,
                                                    lanesOf(*nextDrawn), t, side, tLanes);
        if (index < 0) {
            break;
        }
        draws.skipBounce();
        hit = &scene.shapes()[index];
        // The hit point as Shape::getCollisionInfo computes it, dir * t + origin, lane by lane.
        const XYZ from = point;
        const XYZ dir =
            hn::BitCast(D3(), hn::Xor(hn::BitCast(bits, drawnLanes), hn::Set(bits, flip)));
        point = hn::Add(hn::Mul(dir, tLanes), from);
        // The search gives a side that is not finite for a light, where the path ends, and for
        // a bounce that all but grazes a sphere, which takes its side from the unit normal.
        if (HWY_UNLIKELY(!std::isfinite(side))) {
            if (endsAtLight(path, hit)) {
                break;
            }
            Vec3 hitPoint;
            Vec3 normal;
            hit->getCollisionInfo(toVec3(from), toVec3(dir), t, hitPoint, normal);
            side = dot(normal, *nextDrawn);
        }
        drawn = nextDrawn;
    }
    return foldPath(path);
}

#endif // HWY_TARGET == HWY_SCALAR

// A scene packed for another number of lanes would be searched wrongly: stop instead.
HWY_INLINE void requirePackedForThisSet(const PackedScene& scene) {
    if (scene.laneCount() != PackedLaneCount()) {
        std::fprintf(stderr,
                     "pathtracer: a scene packed for %d lanes was searched with %s, which takes "
                     "%d; pack it again after choosing the instruction set\n",
                     scene.laneCount(), hwy::TargetName(HWY_TARGET), PackedLaneCount());
        std::abort();
    }
}

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#endif // include guard
