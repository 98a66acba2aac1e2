// SPDX-License-Identifier: MIT
#pragma once

#include <cmath>
#include <cstdint>

#include "scene/vec3.h"

enum ShapeType : std::int32_t { Plane = 0, Sphere = 1, Triangle = 2 };

// One primitive of the scene. Fields a kind does not use are 0.
struct Shape {
    Vec3 pos;      // sphere: centre; plane: a point on it
    Vec3 color;    // reflectance multiplied into the light of the bounce
    Vec3 normal;   // plane and triangle: unit surface normal
    Vec3 emission; // any component above 0 makes the shape a light source
    Vec3 vert0;    // triangle vertices
    Vec3 vert1;
    Vec3 vert2;
    float radiusSq = 0.0f; // sphere: radius squared
    ShapeType type = Plane;
    float planeDist = 0.0f; // plane: (pos - eye) . normal, written by precalcFrame

    // Distance along `dir` to the hit, or -1 for a miss. A sphere may also give a value <= 0 and
    // a plane or triangle parallel to `dir` +infinity (a triangle also NaN): callers accept only
    // finite distances above their own threshold. `fromEye` says `origin` is the eye point, so
    // that a plane can use its precomputed `planeDist`.
    float intersect(const Vec3& origin, const Vec3& dir, bool fromEye) const;

    // Hit point at distance `t` and the surface normal there (unit for spheres, stored otherwise).
    void getCollisionInfo(const Vec3& origin, const Vec3& dir, float t, Vec3& hitPoint,
                          Vec3& hitNormal) const;
};

// The factor that scales a vector of squared length `lengthSq` to unit length:
// the reciprocal square root is taken in double precision and rounded to float.
inline float unitScale(float lengthSq) {
    return static_cast<float>(1.0 / std::sqrt(static_cast<double>(lengthSq)));
}

inline bool isEmitter(const Shape& shape) {
    return shape.emission.x > 0.0f || shape.emission.y > 0.0f || shape.emission.z > 0.0f;
}
