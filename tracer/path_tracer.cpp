// SPDX-License-Identifier: MIT
#include "tracer/path_tracer.h"

#include "scene/scene.h"
#include "tracer/draws.h"
#include "tracer/hemisphere.h"
#include "tracer/plain_search.h"

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
