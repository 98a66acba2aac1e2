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

// A shape of each kind, with the fields that kind reads (the fixed scene's and the tests').
inline Shape makeSphere(Vec3 centre, float radiusSq, Vec3 color = Vec3{}, Vec3 emission = Vec3{}) {
    Shape s;
    s.type = Sphere;
    s.pos = centre;
    s.radiusSq = radiusSq;
    s.color = color;
    s.emission = emission;
    return s;
}

inline Shape makePlane(Vec3 point, Vec3 normal, Vec3 color = Vec3{}, Vec3 emission = Vec3{}) {
    Shape s;
    s.type = Plane;
    s.pos = point;
    s.normal = normal;
    s.color = color;
    s.emission = emission;
    return s;
}

inline Shape makeTriangle(Vec3 normal, Vec3 v0, Vec3 v1, Vec3 v2, Vec3 color = Vec3{},
                          Vec3 emission = Vec3{}) {
    Shape s;
    s.type = Triangle;
    s.normal = normal;
    s.vert0 = v0;
    s.vert1 = v1;
    s.vert2 = v2;
    s.color = color;
    s.emission = emission;
    return s;
}

// The factor that scales a vector of squared length `lengthSq` to unit length:
// the reciprocal square root is taken in double precision and rounded to float.
inline float unitScale(float lengthSq) {
    return static_cast<float>(1.0 / std::sqrt(static_cast<double>(lengthSq)));
}

inline bool isEmitter(const Shape& shape) {
    return shape.emission.x > 0.0f || shape.emission.y > 0.0f || shape.emission.z > 0.0f;
}
