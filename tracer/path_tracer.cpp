#include "tracer/path_tracer.h"

#include "scene/scene.h"
#include "tracer/closest_hit.h"
#include "tracer/draws.h"
#include "tracer/hemisphere.h"
#include "tracer/packed_scene.h"

Vec3 pathTraceRay(const Vec3& origin, const Vec3& dir, int depth, DrawStream& draws) {
    if (depth > kMaxDepth) {
        return Vec3{};
    }
    float t = 0.0f;
    const Shape* hit = findClosestShape(origin, dir, t, depth == 0);
    if (hit == nullptr) {
        return Vec3{};
    }
    Vec3 point;
    Vec3 normal;
    hit->getCollisionInfo(origin, dir, t, point, normal);
    const Vec3 next = randomRayInHemisphere(normal, draws);
    if (isEmitter(*hit)) {
        return hit->emission;
    }
    const Vec3 incoming = pathTraceRay(point, next, depth + 1, draws);
    return makeVec3(hit->color.x * incoming.x + hit->emission.x,
                    hit->color.y * incoming.y + hit->emission.y,
                    hit->color.z * incoming.z + hit->emission.z);
}

namespace {

using FlipBits = std::uint32_t __attribute__((vector_size(16)));

Vec3 toVec3(PackedScene::XYZ v) {
    return makeVec3(v[0], v[1], v[2]);
}

} // namespace

// Everything the path loop calls is inlined into it, the bounce search included, so that a hit's
// values go on to the next search in registers.
__attribute__((flatten)) Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start,
                                               int depth, DrawStream& draws,
                                               std::uint64_t& segments) {
    if (start.shape < 0 || depth > kMaxDepth) {
        return Vec3{};
    }
    // Walk forward remembering the surfaces bounced off, then fold their colours and emissions
    // from the far end back, in the order the recursive form returns through them.
    const Shape* bouncedOff[kMaxDepth + 1];
    int bounces = 0;
    Vec3 light; // black unless the path reaches a light
    // The point the path has reached, kept in one register: x, y, z and a lane no one reads.
    using XYZ = PackedScene::XYZ;
    XYZ point = PackedScene::lanesOf(start.point);
    const Shape* hit = &shapes[start.shape];
    // The bounce off each hit is drawn before the light test. For planes and triangles its side
    // test (stored normal . drawn direction) comes out of the search that found the hit, so the
    // next direction is known as soon as the hit is.
    // A path takes at most one bounce per hit; having them all at hand keeps the call that
    // takes another run out of the loop (nothing need be saved around it).
    static_assert(kMaxDepth + 1 <= DrawStream::kMostReserved);
    draws.reserve(kMaxDepth + 1);
    const Vec3* drawn = &gBounceTable.dir[draws.nextReservedBounce()];
    float side = dot(start.normal, *drawn);
    for (;;) {
        const std::uint32_t flip = mirrorFlip(side);
        if (isEmitter(*hit)) {
            light = hit->emission;
            break;
        }
        bouncedOff[bounces++] = hit;
        if (++depth > kMaxDepth) {
            break;
        }
        ++segments;
        // The next bounce is looked at now but used up only if this ray hits something.
        const Vec3* nextDrawn = &gBounceTable.dir[draws.peekReservedBounce()];
        float t = 0.0f;
        const XYZ drawnLanes = PackedScene::lanesOf(*drawn);
        const int index =
            scene.closestHit(point, drawnLanes, flip, PackedScene::lanesOf(*nextDrawn), t, side);
        if (index < 0) {
            break;
        }
        draws.skipBounce();
        hit = &shapes[index];
        // The hit point as Shape::getCollisionInfo computes it, dir * t + origin, lane by lane.
        const XYZ from = point;
        const XYZ dir = reinterpret_cast<XYZ>(reinterpret_cast<FlipBits>(drawnLanes) ^ flip);
        point = dir * t + from;
        if (hit->type == Sphere) {
            Vec3 hitPoint;
            Vec3 normal;
            hit->getCollisionInfo(toVec3(from), toVec3(dir), t, hitPoint, normal);
            side = dot(normal, *nextDrawn);
        }
        drawn = nextDrawn;
    }
    while (bounces > 0) {
        const Shape* s = bouncedOff[--bounces];
        light = makeVec3(s->color.x * light.x + s->emission.x, s->color.y * light.y + s->emission.y,
                         s->color.z * light.z + s->emission.z);
    }
    return light;
}
