// SPDX-License-Identifier: MIT
// Each shape kind's intersection test, written once for vectors of any width and used by both
// fast searches: the packed search (packed_search-inl.h), where the lanes are shapes of one kind
// and the ray is the same in all, and the paths side by side (path_lanes-inl.h), where the lanes
// are rays and the shape is the same in all. Compiled for each instruction set by fast_paths.cpp,
// which includes this file once per set.
//
// A kernel reads its shape's values with valuesOf: a group of the packed scene gives one shape
// per lane (an array loaded whole), a lane shape one value for every lane (broadcast). Both
// records name their values alike, and packed_scene.cpp fills both with one packing step per
// kind.
//
// Every operation is Shape::intersect's, in its order and single precision: the plain test is
// the oracle these are tested against (tests/unit/packed_search_test.cpp, tests/fuzz/search_fuzzer.cpp).
// What each test accepts (the hit threshold, ties) is left to the search that calls it.

// Include guard that lets the file be included again for each instruction set.
#if defined(PATHTRACER_SHAPE_KERNELS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef PATHTRACER_SHAPE_KERNELS_INL_H_
#undef PATHTRACER_SHAPE_KERNELS_INL_H_
#else
#define PATHTRACER_SHAPE_KERNELS_INL_H_
#endif

#include <hwy/highway.h>

#include "tracer/packed_scene.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// A group's value in each lane, or a lane shape's one value in all of them.
template <class D> HWY_INLINE hn::Vec<D> valuesOf(D d, const PackedScene::FloatRow& lanes) {
    return hn::Load(d, lanes);
}
template <class D> HWY_INLINE hn::Vec<D> valuesOf(D d, float value) {
    return hn::Set(d, value);
}

// a . b as a.x * b.x + a.y * b.y + a.z * b.z, in that order, lane by lane.
template <class V> HWY_INLINE V dot(V ax, V ay, V az, V bx, V by, V bz) {
    return hn::Add(hn::Add(hn::Mul(ax, bx), hn::Mul(ay, by)), hn::Mul(az, bz));
}

// The point at distance t along d from o: d * t + o, as Shape::getCollisionInfo takes it.
template <class V> HWY_INLINE V pointAt(V o, V d, V t) {
    return hn::Add(hn::Mul(d, t), o);
}

// A plane's distance along d from o: ((pos - o) . n) / (n . d).
template <class D, class S>
HWY_INLINE hn::Vec<D> planeDistance(D df, const S& s, hn::Vec<D> ox, hn::Vec<D> oy, hn::Vec<D> oz,
                                    hn::Vec<D> dx, hn::Vec<D> dy, hn::Vec<D> dz) {
    const auto nx = valuesOf(df, s.nx), ny = valuesOf(df, s.ny), nz = valuesOf(df, s.nz);
    const auto numerator = dot(hn::Sub(valuesOf(df, s.px), ox), hn::Sub(valuesOf(df, s.py), oy),
                               hn::Sub(valuesOf(df, s.pz), oz), nx, ny, nz);
    return hn::Div(numerator, dot(nx, ny, nz, dx, dy, dz));
}

// The distance to a plane or triangle whose normal n lies along an axis, from o's and d's
// coordinates on that axis and the plane's: (at - o) / d. Both plain quotients, ((pos - o) . n) /
// (n . d) and -((o - vert0) . n) / (n . d), are that quotient with numerator and denominator
// negated alike where n is -1, which leaves a quotient as it is, except for the sign of a zero
// numerator: a distance of zero or NaN, which no search accepts. (The plain dot products' other
// terms are exact zeros: see searchableAlongAxis in packed_scene.cpp.)
template <class V> HWY_INLINE V axisDistance(V at, V oAlong, V dAlong) {
    return hn::Div(hn::Sub(at, oAlong), dAlong);
}

// A sphere's half-b, d . (o - centre), and its discriminant b^2 - ((o - centre)^2 - radius^2).
template <class D, class S>
HWY_INLINE void sphereTerms(D df, const S& s, hn::Vec<D> ox, hn::Vec<D> oy, hn::Vec<D> oz,
                            hn::Vec<D> dx, hn::Vec<D> dy, hn::Vec<D> dz, hn::Vec<D>& b,
                            hn::Vec<D>& disc) {
    const auto ocx = hn::Sub(ox, valuesOf(df, s.cx));
    const auto ocy = hn::Sub(oy, valuesOf(df, s.cy));
    const auto ocz = hn::Sub(oz, valuesOf(df, s.cz));
    b = dot(dx, dy, dz, ocx, ocy, ocz);
    const auto c = hn::Sub(dot(ocx, ocy, ocz, ocx, ocy, ocz), valuesOf(df, s.radiusSq));
    disc = hn::Sub(hn::Mul(b, b), c);
}

// A triangle's plane distance along d from o: -((o - vert0) . n) / (n . d).
template <class D, class S>
HWY_INLINE hn::Vec<D> triangleDistance(D df, const S& s, hn::Vec<D> ox, hn::Vec<D> oy,
                                       hn::Vec<D> oz, hn::Vec<D> dx, hn::Vec<D> dy, hn::Vec<D> dz) {
    const auto nx = valuesOf(df, s.nx), ny = valuesOf(df, s.ny), nz = valuesOf(df, s.nz);
    const auto numerator = dot(hn::Sub(ox, valuesOf(df, s.ax)), hn::Sub(oy, valuesOf(df, s.ay)),
                               hn::Sub(oz, valuesOf(df, s.az)), nx, ny, nz);
    return hn::Div(hn::Neg(numerator), dot(nx, ny, nz, dx, dy, dz));
}

// The side of a bounce along u off a sphere whose hit point lies at n from its centre, where its
// sign is sure without the unit normal (`sure`); only the sign is used (mirrorFlip).
//
// Shape::getCollisionInfo's normal is n * s with s = unitScale(n . n) > 0, a square root and a
// division in double precision; the plain side S rounds each n_i * s, each product with u_i and
// each sum. The side returned is F = n . u in single precision, which leaves s out. With A =
// |n_x u_x| + |n_y u_y| + |n_z u_z| and e = 2^-24, the rounding errors give
//   |F - n . u| <= 3.01 e A  and  |S - s (n . u)| <= 4.01 e s A,
// plus absolute errors below 2^-126 from results that are subnormal. Where
//   (a) |F| > 2^-20 Af, Af the single-precision sum of the products' magnitudes (> A (1 - 3e)),
// n . u has F's sign and |n . u| > (2^-20 - 6.1 e) A > 4.01 e A, so S has that sign too and is not
// zero, provided the absolute errors are smaller still. With Bn = |n_x| + |n_y| + |n_z|,
//   (b) 2^-60 <= Bn <= 2^60 keeps n . n normal and finite, so that s is within a few e of
//       1 / |n| >= 1 / Bn, and
//   (c) |F| > 2^-40 Bn then makes |S| > 2^-42 or so, far above 2^-126.
// All three hold unless the bounce all but grazes the sphere (or runs along it: the grid's
// directions and a scene's round numbers meet exactly now and then) or the numbers are extreme;
// NaN fails them. A multiple of Af or Bn by a power of two is exact where it decides
// (both are above 2^-101 when (c) holds). Af is used, not Bn, so that u may be of any length.
template <class D>
HWY_INLINE hn::Vec<D> sphereSide(D df, hn::Vec<D> nx, hn::Vec<D> ny, hn::Vec<D> nz, hn::Vec<D> ux,
                                 hn::Vec<D> uy, hn::Vec<D> uz, hn::Mask<D>& sure) {
    const auto px = hn::Mul(nx, ux), py = hn::Mul(ny, uy), pz = hn::Mul(nz, uz);
    const auto side = hn::Add(hn::Add(px, py), pz);
    const auto products = hn::Add(hn::Add(hn::Abs(px), hn::Abs(py)), hn::Abs(pz));
    const auto bn = hn::Add(hn::Add(hn::Abs(nx), hn::Abs(ny)), hn::Abs(nz));
    const auto margin = hn::Abs(side);
    sure = hn::And(hn::And(hn::Gt(margin, hn::Mul(products, hn::Set(df, 0x1p-20f))),
                           hn::Gt(margin, hn::Mul(bn, hn::Set(df, 0x1p-40f)))),
                   hn::And(hn::Ge(bn, hn::Set(df, 0x1p-60f)), hn::Le(bn, hn::Set(df, 0x1p60f))));
    return side;
}

// Whether a hit point lies outside the triangle's box, where the inside test cannot pass
// (insideTestBox in packed_scene.cpp). A NaN coordinate is not outside.
template <class D, class S>
HWY_INLINE hn::Mask<D> outsideBox(D df, const S& s, hn::Vec<D> px, hn::Vec<D> py, hn::Vec<D> pz) {
    return hn::Or(hn::Or(hn::Or(hn::Lt(px, valuesOf(df, s.loX)), hn::Gt(px, valuesOf(df, s.hiX))),
                         hn::Or(hn::Lt(py, valuesOf(df, s.loY)), hn::Gt(py, valuesOf(df, s.hiY)))),
                  hn::Or(hn::Lt(pz, valuesOf(df, s.loZ)), hn::Gt(pz, valuesOf(df, s.hiZ))));
}

// Whether a hit point fails the triangle's inside test: its barycentric coordinates s and q,
// from w = p - vert0 and the edges u and v, outside (0, 1) or summing to 1 or more. A NaN
// coordinate does not fail it, as in the plain test.
template <class D, class S>
HWY_INLINE hn::Mask<D> outsideTriangle(D df, const S& s, hn::Vec<D> px, hn::Vec<D> py,
                                       hn::Vec<D> pz) {
    const auto wx = hn::Sub(px, valuesOf(df, s.ax));
    const auto wy = hn::Sub(py, valuesOf(df, s.ay));
    const auto wz = hn::Sub(pz, valuesOf(df, s.az));
    const auto wu = dot(wx, wy, wz, valuesOf(df, s.ux), valuesOf(df, s.uy), valuesOf(df, s.uz));
    const auto wv = dot(wx, wy, wz, valuesOf(df, s.vx), valuesOf(df, s.vy), valuesOf(df, s.vz));
    const auto uu = valuesOf(df, s.uu), uv = valuesOf(df, s.uv), vv = valuesOf(df, s.vv);
    const auto det = valuesOf(df, s.d);
    const auto sc = hn::Div(hn::Sub(hn::Mul(uv, wv), hn::Mul(vv, wu)), det);
    const auto qc = hn::Div(hn::Sub(hn::Mul(uv, wu), hn::Mul(uu, wv)), det);
    const auto zero = hn::Zero(df), one = hn::Set(df, 1.0f);
    return hn::Or(hn::Or(hn::Le(sc, zero), hn::Ge(sc, one)),
                  hn::Or(hn::Le(qc, zero), hn::Ge(hn::Add(sc, qc), one)));
}

#endif // HWY_TARGET != HWY_SCALAR

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#endif // include guard
