#include "tracer/path_tracer.h"

#include "tracer/closest_hit.h"
#include "tracer/hemisphere.h"

namespace {
thread_local std::uint64_t tSegments = 0;
}

std::uint64_t tracedSegments() { return tSegments; }

Vec3 pathTraceRay(const Vec3& origin, const Vec3& dir, int depth) {
    if (depth > kMaxDepth) {
        return Vec3{};
    }
    ++tSegments;
    float t = 0.0f;
    const Shape* hit = findClosestShape(origin, dir, t, depth == 0);
    if (hit == nullptr) {
        return Vec3{};
    }
    Vec3 point;
    Vec3 normal;
    hit->getCollisionInfo(origin, dir, t, point, normal);
    // The bounce is drawn even when the path ends here, so every hit consumes draws.
    const Vec3 next = randomRayInHemisphere(normal);
    if (isEmitter(*hit)) {
        return hit->emission;
    }
    const Vec3 incoming = pathTraceRay(point, next, depth + 1);
    return makeVec3(hit->color.x * incoming.x + hit->emission.x,
                    hit->color.y * incoming.y + hit->emission.y,
                    hit->color.z * incoming.z + hit->emission.z);
}
