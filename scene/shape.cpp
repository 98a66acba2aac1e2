// SPDX-License-Identifier: MIT
#include "scene/shape.h"

#include <cmath>

namespace {

constexpr float kMiss = -1.0f;
constexpr float kSurfaceEpsilon = 0.003f;

float intersectPlane(const Shape& s, const Vec3& origin, const Vec3& dir, bool fromEye) {
    const float numerator = fromEye ? s.planeDist : dot(s.pos - origin, s.normal);
    const float t = numerator / dot(s.normal, dir);
    return t > kSurfaceEpsilon ? t : kMiss; // a NaN distance misses too
}

float intersectSphere(const Shape& s, const Vec3& origin, const Vec3& dir) {
    const Vec3 oc = origin - s.pos;
    const float b = dot(dir, oc);
    const float c = dot(oc, oc) - s.radiusSq;
    const float disc = b * b - c;
    if (!(disc > kSurfaceEpsilon)) {
        return kMiss; // grazing rays and NaN miss
    }
    // Only the near root: a sphere is invisible from inside, and a bounce leaving its surface
    // gets a value <= 0 that the caller rejects.
    return static_cast<float>(static_cast<double>(-b) - std::sqrt(static_cast<double>(disc)));
}

float intersectTriangle(const Shape& s, const Vec3& origin, const Vec3& dir) {
    const float t = -dot(origin - s.vert0, s.normal) / dot(s.normal, dir);
    if (t < kSurfaceEpsilon) {
        return kMiss;
    }
    const Vec3 p = dir * t + origin;
    const Vec3 u = s.vert1 - s.vert0;
    const Vec3 v = s.vert2 - s.vert0;
    const Vec3 w = p - s.vert0;
    const float uu = dot(u, u);
    const float uv = dot(u, v);
    const float vv = dot(v, v);
    const float wu = dot(w, u);
    const float wv = dot(w, v);
    const float d = uv * uv - uu * vv;
    // Barycentric bounds are strict: edges and vertices miss. A NaN passes every test.
    const float sCoord = (uv * wv - vv * wu) / d;
    if (sCoord <= 0.0f || sCoord >= 1.0f) {
        return kMiss;
    }
    const float qCoord = (uv * wu - uu * wv) / d;
    if (qCoord <= 0.0f || sCoord + qCoord >= 1.0f) {
        return kMiss;
    }
    return t;
}

} // namespace

float Shape::intersect(const Vec3& origin, const Vec3& dir, bool fromEye) const {
    switch (type) {
    case Plane:
        return intersectPlane(*this, origin, dir, fromEye);
    case Sphere:
        return intersectSphere(*this, origin, dir);
    case Triangle:
        return intersectTriangle(*this, origin, dir);
    }
    return kMiss;
}

void Shape::getCollisionInfo(const Vec3& origin, const Vec3& dir, float t, Vec3& hitPoint,
                             Vec3& hitNormal) const {
    hitPoint = dir * t + origin;
    switch (type) {
    case Sphere: {
        const Vec3 n = hitPoint - pos;
        hitNormal = n * unitScale(n.x * n.x + n.y * n.y + n.z * n.z);
        break;
    }
    case Plane:
    case Triangle:
        hitNormal = normal;
        break;
    }
}
