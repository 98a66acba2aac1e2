// SPDX-License-Identifier: MIT
#pragma once

#include <cfloat>

// Every float operation must round to float: pictures are promised bit for bit. A compiler that
// keeps intermediate results in wider registers (x87 arithmetic on 32-bit x86 reports 2 here;
// build there with -msse2 -mfpmath=sse, as CMakeLists.txt does) would give other pictures.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "float arithmetic in excess precision (FLT_EVAL_METHOD != 0): build with -mfpmath=sse"
#endif

// Point, direction or RGB colour (x = red, y = green, z = blue) in single precision.
// The fourth component is padding that no computation reads; it is kept 0.
struct Vec3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float w = 0.0f;
};

inline Vec3 makeVec3(float x, float y, float z) {
    return Vec3{x, y, z, 0.0f};
}

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
    return makeVec3(a.x + b.x, a.y + b.y, a.z + b.z);
}
inline Vec3 operator-(const Vec3& a, const Vec3& b) {
    return makeVec3(a.x - b.x, a.y - b.y, a.z - b.z);
}
inline Vec3 operator*(const Vec3& a, float s) {
    return makeVec3(a.x * s, a.y * s, a.z * s);
}

// Summed x term, then y term, then z term.
inline float dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
