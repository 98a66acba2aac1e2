// SPDX-License-Identifier: MIT
#include "tracer/plain_search.h"

#include "scene/scene.h"

const Shape* findClosestShape(const Vec3& origin, const Vec3& dir, float& t, bool fromEye) {
    return findClosestShape(shapes, origin, dir, t, fromEye);
}

const Shape* findClosestShape(const std::vector<Shape>& list, const Vec3& origin, const Vec3& dir,
                              float& t, bool fromEye) {
    t = kNoHit;
    const Shape* closest = nullptr;
    for (const Shape& shape : list) {
        const float d = shape.intersect(origin, dir, fromEye);
        if (d > kMinHitDistance && d < t) {
            t = d;
            closest = &shape;
        }
    }
    return closest;
}
