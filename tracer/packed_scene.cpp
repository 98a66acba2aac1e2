#include "tracer/packed_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#include <immintrin.h>

#include "tracer/closest_hit.h"

namespace {

using Floats = PackedScene::Floats;
using Ints = PackedScene::Ints;
constexpr int kLanes = PackedScene::kLanes;

// Every lane set to `value` (an addition to zero would turn -0 into +0).
inline Floats splat(float value) {
#ifdef __AVX__
    return Floats{value, value, value, value, value, value, value, value};
#else
    return Floats{value, value, value, value};
#endif
}

// One bit per lane whose mask is set.
inline int laneBits(Ints mask) {
#ifdef __AVX__
    return _mm256_movemask_ps(reinterpret_cast<__m256>(mask));
#else
    return _mm_movemask_ps(reinterpret_cast<__m128>(mask));
#endif
}

// Every distance kept as the nearest is positive (greater than the hit threshold, or kNoHit), and
// positive floats, NaN aside, are ordered as their bit patterns are as integers: distances are
// compared as integers, which takes the processor fewer cycles than a float comparison.
inline Ints bitsOf(Floats v) {
    return reinterpret_cast<Ints>(v);
}

// The smallest lane value, in every lane.
inline Ints minWith(Ints v, Ints permutation) {
    const Ints w = __builtin_shuffle(v, permutation);
    return v < w ? v : w;
}
inline Ints lanesMin(Ints v) {
#ifdef __AVX__
    v = minWith(v, Ints{4, 5, 6, 7, 0, 1, 2, 3});
    v = minWith(v, Ints{2, 3, 0, 1, 6, 7, 4, 5});
    return minWith(v, Ints{1, 0, 3, 2, 5, 4, 7, 6});
#else
    v = minWith(v, Ints{2, 3, 0, 1});
    return minWith(v, Ints{1, 0, 3, 2});
#endif
}

// Which axis a normal lies along (0, 1, 2), or -1.
int normalAxis(const Vec3& n) {
    const float c[3] = {n.x, n.y, n.z};
    for (int axis = 0; axis < 3; ++axis) {
        const bool unit = c[axis] == 1.0f || c[axis] == -1.0f;
        if (unit && c[(axis + 1) % 3] == 0.0f && c[(axis + 2) % 3] == 0.0f) {
            return axis;
        }
    }
    return -1;
}

// A box around a triangle outside of which no hit point passes the inside test, so that the test
// can be skipped there; the whole space where no such box is known.
//
// The inside test works on the barycentric coordinates, relative to vert0 and the edges u and v
// as stored in float, of the hit point's projection onto the plane of those three points. The
// computed hit point o + d t is off that plane by rounding, by an amount that grows with the
// distance of the ray's origin, so a box in all three coordinates could cut off a hit the
// projection puts inside. The box is therefore only built for a triangle whose three vertices
// share one coordinate exactly and whose stored normal lies along that axis: u and v then have
// a zero component there, the products with the point's coordinate on that axis are zeros
// (whatever the point's distance from the plane), and the box leaves that axis unbounded.
//
// Along the other two axes: a point at distance m outside the triangle, in the plane, has a
// coordinate off by at least m / L (L the longest edge). Rounding moves the computed coordinates
// by at most about 2^-21 (1 + r / L) / sin^2(angle) for a point at distance r, where sin^2 of
// the angle between the edges is -d / (uu vv). With sin^2 >= 0.01 and m = L / 100 a point
// beyond the box is off by far more than rounding can hide.
void insideTestBox(const Shape& s, float uu, float vv, float d, double lo[3], double hi[3]) {
    for (int axis = 0; axis < 3; ++axis) {
        lo[axis] = -INFINITY;
        hi[axis] = INFINITY;
    }
    const int normal = normalAxis(s.normal);
    const float at[3] = {s.vert0.x, s.vert0.y, s.vert0.z};
    const float at1[3] = {s.vert1.x, s.vert1.y, s.vert1.z};
    const float at2[3] = {s.vert2.x, s.vert2.y, s.vert2.z};
    const bool inAxisPlane = normal >= 0 && at1[normal] == at[normal] && at2[normal] == at[normal];
    const double sin2 = -double(d) / (double(uu) * double(vv));
    if (!inAxisPlane || !(sin2 >= 0.01)) {
        return;
    }
    // The triangle the test works on: vert0, vert0 + u and vert0 + v, exactly.
    const Vec3 u = s.vert1 - s.vert0;
    const Vec3 v = s.vert2 - s.vert0;
    const double a[3] = {s.vert0.x, s.vert0.y, s.vert0.z};
    const double du[3] = {u.x, u.y, u.z};
    const double dv[3] = {v.x, v.y, v.z};
    const double longest =
        std::sqrt(std::max({double(uu), double(vv),
                            (du[0] - dv[0]) * (du[0] - dv[0]) + (du[1] - dv[1]) * (du[1] - dv[1]) +
                                (du[2] - dv[2]) * (du[2] - dv[2])}));
    const double margin = longest / 100.0;
    for (int axis = 0; axis < 3; ++axis) {
        if (axis != normal) {
            lo[axis] = std::min({a[axis], a[axis] + du[axis], a[axis] + dv[axis]}) - margin;
            hi[axis] = std::max({a[axis], a[axis] + du[axis], a[axis] + dv[axis]}) + margin;
        }
    }
}

// `value` as a float, rounded toward `direction` where it is not exact.
float outwardFloat(double value, float direction) {
    const float f = static_cast<float>(value);
    const bool inward = direction > 0.0f ? double(f) < value : double(f) > value;
    return inward ? std::nextafter(f, direction) : f;
}

// Groups whose lanes are never hit: all-zero planes and triangles give a NaN distance, as does a
// NaN coordinate on the axis, and a sphere of squared radius -infinity a discriminant of
// -infinity. No lane has a shape index.
template <typename Group> Group emptyGroup() {
    Group g{};
    g.index = Ints{} - 1;
    if constexpr (std::is_same_v<Group, PackedScene::SphereGroup>) {
        g.radiusSq = splat(-INFINITY);
    } else {
        g.axis.at = splat(NAN);
    }
    return g;
}

// Appends an empty group when the last one is full and returns the lane for the next shape.
template <typename Group> int nextLane(std::vector<Group>& groups, int count) {
    if (count % kLanes == 0) {
        groups.push_back(emptyGroup<Group>());
    }
    return count % kLanes;
}

// Gives a kind with no shapes one empty group.
template <typename Group> void keepAGroup(std::vector<Group>& groups) {
    if (groups.empty()) {
        groups.push_back(emptyGroup<Group>());
    }
}

// Calls `search` on every group of a kind that always has one: the first without a loop, so
// that a scene with one group of the kind is searched in straight-line code.
template <typename Group, typename Search>
inline void searchGroups(const std::vector<Group>& groups, Search search) {
    search(groups.front());
    for (std::size_t i = 1; i < groups.size(); ++i) {
        search(groups[i]);
    }
}

// The nearest hit so far in each lane: distance, shape index and side of the next bounce.
struct Nearest {
    Floats t;
    Ints index;
    Floats side;
};

// Keeps, per lane, the nearest accepted distance, ties going to the lower shape index.
inline void keepNearest(Ints accepted, Floats t, Ints index, Floats side, Nearest& best) {
    // Where a lane's distance is not accepted its integer comparison means nothing, and is
    // masked off.
    const Ints tBits = bitsOf(t), bestBits = bitsOf(best.t);
    const Ints better =
        accepted & ((tBits < bestBits) | ((tBits == bestBits) & (index < best.index)));
    best.t = better ? t : best.t;
    best.index = better ? index : best.index;
    best.side = better ? side : best.side;
}

using AxisNormal = PackedScene::AxisNormal;

template <typename Group> void setAxis(Group& g, int lane, const Vec3& normal, const Vec3& point) {
    const int axis = normalAxis(normal);
    const float n[3] = {normal.x, normal.y, normal.z};
    const float p[3] = {point.x, point.y, point.z};
    g.axis.axis[lane] = axis;
    g.axis.flip[lane] = n[axis] < 0.0f ? INT32_MIN : 0;
    g.axis.at[lane] = p[axis];
}

// The lane's coordinate along its shape's axis, from a vector whose first three lanes are x, y
// and z: one permutation for all lanes.
inline Floats along(const AxisNormal& a, Floats xyz) {
    return __builtin_shuffle(xyz, a.axis);
}

using XYZ = PackedScene::XYZ;

// x, y and z in the first three lanes (the rest left as they come).
inline Floats xyzLanes(XYZ v) {
#ifdef __AVX__
    return __builtin_shufflevector(v, v, 0, 1, 2, 3, 0, 1, 2, 3);
#else
    return v;
#endif
}

// One lane of v in every lane.
template <int lane> inline Floats laneSplat(XYZ v) {
    return __builtin_shuffle(xyzLanes(v), Ints{} + lane);
}

// v * n for the lane's normal component n of 1 or -1: v with its sign bit flipped or not.
inline Floats timesNormal(const AxisNormal& a, Floats v) {
    return reinterpret_cast<Floats>(reinterpret_cast<Ints>(v) ^ a.flip);
}

} // namespace

void PackedScene::build(const std::vector<Shape>& shapes) {
    spheres_.clear();
    planes_.clear();
    axisPlanes_.clear();
    triangles_.clear();
    axisTriangles_.clear();
    int sphereCount = 0;
    int planeCount = 0;
    int axisPlaneCount = 0;
    int triangleCount = 0;
    int axisTriangleCount = 0;
    for (int i = 0; i < static_cast<int>(shapes.size()); ++i) {
        const Shape& s = shapes[i];
        const bool axisAligned = normalAxis(s.normal) >= 0;
        switch (s.type) {
        case Sphere: {
            const int lane = nextLane(spheres_, sphereCount++);
            SphereGroup& g = spheres_.back();
            g.cx[lane] = s.pos.x;
            g.cy[lane] = s.pos.y;
            g.cz[lane] = s.pos.z;
            g.radiusSq[lane] = s.radiusSq;
            g.index[lane] = i;
            break;
        }
        case Plane: {
            auto& groups = axisAligned ? axisPlanes_ : planes_;
            const int lane = nextLane(groups, axisAligned ? axisPlaneCount++ : planeCount++);
            PlaneGroup& g = groups.back();
            if (axisAligned) {
                setAxis(g, lane, s.normal, s.pos);
            }
            g.px[lane] = s.pos.x;
            g.py[lane] = s.pos.y;
            g.pz[lane] = s.pos.z;
            g.nx[lane] = s.normal.x;
            g.ny[lane] = s.normal.y;
            g.nz[lane] = s.normal.z;
            g.index[lane] = i;
            break;
        }
        case Triangle: {
            auto& groups = axisAligned ? axisTriangles_ : triangles_;
            const int lane = nextLane(groups, axisAligned ? axisTriangleCount++ : triangleCount++);
            TriangleGroup& g = groups.back();
            if (axisAligned) {
                setAxis(g, lane, s.normal, s.vert0);
            }
            const Vec3 u = s.vert1 - s.vert0;
            const Vec3 v = s.vert2 - s.vert0;
            g.ax[lane] = s.vert0.x;
            g.ay[lane] = s.vert0.y;
            g.az[lane] = s.vert0.z;
            g.nx[lane] = s.normal.x;
            g.ny[lane] = s.normal.y;
            g.nz[lane] = s.normal.z;
            g.ux[lane] = u.x;
            g.uy[lane] = u.y;
            g.uz[lane] = u.z;
            g.vx[lane] = v.x;
            g.vy[lane] = v.y;
            g.vz[lane] = v.z;
            g.uu[lane] = dot(u, u);
            g.uv[lane] = dot(u, v);
            g.vv[lane] = dot(v, v);
            g.d[lane] = g.uv[lane] * g.uv[lane] - g.uu[lane] * g.vv[lane];
            double lo[3];
            double hi[3];
            insideTestBox(s, g.uu[lane], g.vv[lane], g.d[lane], lo, hi);
            // Rounded outward, so that the float box holds the exact one.
            g.loX[lane] = outwardFloat(lo[0], -INFINITY);
            g.loY[lane] = outwardFloat(lo[1], -INFINITY);
            g.loZ[lane] = outwardFloat(lo[2], -INFINITY);
            g.hiX[lane] = outwardFloat(hi[0], INFINITY);
            g.hiY[lane] = outwardFloat(hi[1], INFINITY);
            g.hiZ[lane] = outwardFloat(hi[2], INFINITY);
            g.index[lane] = i;
            break;
        }
        }
    }
    // The kinds searched with searchGroups always have a group.
    keepAGroup(spheres_);
    keepAGroup(axisPlanes_);
    keepAGroup(axisTriangles_);
    sharePlaneDistances();
}

// Axis-aligned triangles often lie in few planes (the faces of a box) and the plane group often
// has lanes to spare: the distances to those planes are then worked out by the plane group's
// one division, in lanes of their own that take no part in the search for the nearest plane (or
// in the lane of a plane they lie in), and the triangles take them from there. A triangle's
// formula, -((o - a) . n) / (n . d), and a plane's, ((a - o) . n) / (n . d), differ only in the
// sign of a zero numerator, which makes a distance of zero or NaN that no triangle test accepts.
namespace {
bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
} // namespace

void PackedScene::sharePlaneDistances() {
    sharedPlaneDistances_ = false;
    if (axisPlanes_.size() != 1 || axisTriangles_.size() != 1) {
        return;
    }
    PlaneGroup planes = axisPlanes_[0];
    TriangleGroup& triangles = axisTriangles_[0];
    int used = 0;
    while (used < kLanes && planes.index[used] >= 0) {
        ++used;
    }
    Ints planeLane{};
    for (int lane = 0; lane < kLanes; ++lane) {
        const bool empty = triangles.index[lane] < 0;
        int found = -1;
        for (int k = 0; k < used && !empty && found < 0; ++k) {
            const bool samePlane = planes.axis.axis[k] == triangles.axis.axis[lane] &&
                                   planes.axis.flip[k] == triangles.axis.flip[lane] &&
                                   sameBits(planes.axis.at[k], triangles.axis.at[lane]);
            found = samePlane ? k : -1;
        }
        if (found < 0) {
            // A lane of its own; an empty triangle lane takes an empty plane lane (a NaN).
            if (used == kLanes) {
                return;
            }
            found = used;
            if (!empty) {
                planes.axis.axis[used] = triangles.axis.axis[lane];
                planes.axis.flip[used] = triangles.axis.flip[lane];
                planes.axis.at[used] = triangles.axis.at[lane];
                ++used;
            }
        }
        planeLane[lane] = found;
    }
    axisPlanes_[0] = planes;
    triangles.planeLane = planeLane;
    sharedPlaneDistances_ = true;
}

// Mirroring a direction u into d = -u flips signs only, and exactly: every product with a
// component of u, every sum of such products and every quotient by one changes only its sign,
// and d * t = u * -t. So distances and points are computed along the drawn direction and the
// flip is applied to the distances at the end: the divisions of the next search need not wait
// for the side test of the hit before.
int PackedScene::closestHit(XYZ origin, XYZ drawn, std::uint32_t flip, XYZ nextDir, float& t,
                            float& side) const {
    const Floats ox = laneSplat<0>(origin), oy = laneSplat<1>(origin), oz = laneSplat<2>(origin);
    const Floats dx = laneSplat<0>(drawn), dy = laneSplat<1>(drawn), dz = laneSplat<2>(drawn);
    const Floats ux = laneSplat<0>(nextDir), uy = laneSplat<1>(nextDir), uz = laneSplat<2>(nextDir);
    const Floats o = xyzLanes(origin), d = xyzLanes(drawn), u = xyzLanes(nextDir);
    const Ints mirror = Ints{} + static_cast<std::int32_t>(flip);
    // A value that changes sign with the direction (a distance, or b for a sphere), for the
    // mirrored direction from the one for the drawn direction.
    const auto forMirrored = [&](Floats v) {
        return reinterpret_cast<Floats>(reinterpret_cast<Ints>(v) ^ mirror);
    };
    const Floats minHit = splat(kMinHitDistance);
    const Floats epsilon = splat(0.003f);
    Nearest best{splat(kNoHit), Ints{} - 1, Floats{}};

    // Each kind is searched on its own; the groups meet only in keepNearest, so the processor
    // can work on all of them at once.
    Floats planeDistances; // along the drawn direction, from the last plane group
    searchGroups(axisPlanes_, [&](const PlaneGroup& g) {
        const AxisNormal& a = g.axis;
        planeDistances = timesNormal(a, a.at - along(a, o)) / timesNormal(a, along(a, d));
        const Floats tp = forMirrored(planeDistances);
        // Lanes without a shape index compute distances for the triangles only.
        keepNearest((tp > epsilon) & (g.index >= 0), tp, g.index, timesNormal(a, along(a, u)),
                    best);
    });
    for (const PlaneGroup& g : planes_) {
        const Floats numerator = (g.px - ox) * g.nx + (g.py - oy) * g.ny + (g.pz - oz) * g.nz;
        const Floats tp = forMirrored(numerator / (g.nx * dx + g.ny * dy + g.nz * dz));
        keepNearest(tp > epsilon, tp, g.index, g.nx * ux + g.ny * uy + g.nz * uz, best);
    }

    searchGroups(spheres_, [&](const SphereGroup& g) {
        const Floats ocx = ox - g.cx, ocy = oy - g.cy, ocz = oz - g.cz;
        const Floats drawnB = dx * ocx + dy * ocy + dz * ocz;
        const Floats c = (ocx * ocx + ocy * ocy + ocz * ocz) - g.radiusSq;
        const Floats disc = drawnB * drawnB - c;
        const Floats b = forMirrored(drawnB);
        // The near root is at most -b, so a lane with -b at or below the hit threshold cannot
        // be hit; square roots are taken only where one can.
        const Ints candidate = (disc > epsilon) & (-b > minHit);
        int lanes = laneBits(candidate);
        if (lanes == 0) {
            return;
        }
        Floats ts = splat(-1.0f);
        for (; lanes != 0; lanes &= lanes - 1) {
            const int lane = __builtin_ctz(lanes);
            ts[lane] = static_cast<float>(static_cast<double>(-b[lane]) -
                                          std::sqrt(static_cast<double>(disc[lane])));
        }
        keepNearest(candidate & (ts > minHit), ts, g.index, Floats{}, best);
    });

    // The inside test of a group of triangles, given their plane distances.
    const auto insideTest = [&](const TriangleGroup& g, Floats drawnT, Floats side) {
        // Only a lane whose plane point is near the triangle (see insideTestBox) needs the
        // inside test. (Whether the distance could still win is left to keepNearest: waiting
        // for the other kinds' distances here would only lengthen the search.)
        const Floats tt = forMirrored(drawnT);
        const Floats px = dx * drawnT + ox, py = dy * drawnT + oy, pz = dz * drawnT + oz;
        // (A NaN coordinate is not outside: the inside test decides, as in the plain test.)
        const Ints outsideBox =
            (px < g.loX) | (px > g.hiX) | (py < g.loY) | (py > g.hiY) | (pz < g.loZ) | (pz > g.hiZ);
        const Ints nearTriangle = ~outsideBox;
        const Ints reachable = (tt >= epsilon) & nearTriangle;
        if (laneBits(reachable) == 0) {
            return;
        }
        const Floats wx = px - g.ax;
        const Floats wy = py - g.ay;
        const Floats wz = pz - g.az;
        const Floats wu = wx * g.ux + wy * g.uy + wz * g.uz;
        const Floats wv = wx * g.vx + wy * g.vy + wz * g.vz;
        const Floats s = (g.uv * wv - g.vv * wu) / g.d;
        const Floats q = (g.uv * wu - g.uu * wv) / g.d;
        const Ints outside = (s <= 0.0f) | (s >= 1.0f) | (q <= 0.0f) | (s + q >= 1.0f);
        keepNearest(reachable & ~outside & (tt > minHit), tt, g.index, side, best);
    };
    searchGroups(axisTriangles_, [&](const TriangleGroup& g) {
        const AxisNormal& a = g.axis;
        const Floats drawnT = sharedPlaneDistances_ ? __builtin_shuffle(planeDistances, g.planeLane)
                                                    : -timesNormal(a, along(a, o) - a.at) /
                                                          timesNormal(a, along(a, d));
        insideTest(g, drawnT, timesNormal(a, along(a, u)));
    });
    for (const TriangleGroup& g : triangles_) {
        const Floats drawnT = -((ox - g.ax) * g.nx + (oy - g.ay) * g.ny + (oz - g.az) * g.nz) /
                              (g.nx * dx + g.ny * dy + g.nz * dz);
        insideTest(g, drawnT, g.nx * ux + g.ny * uy + g.nz * uz);
    }

    // The nearest distance, then the first shape in list order at that distance.
    const Ints nearest = lanesMin(bitsOf(best.t));
    t = reinterpret_cast<Floats>(nearest)[0];
    if (!(t < kNoHit)) {
        return -1;
    }
    // Lanes rarely tie, so the first one is taken without a loop.
    int lanes = laneBits(bitsOf(best.t) == nearest);
    int lane = __builtin_ctz(lanes);
    int hit = best.index[lane];
    for (lanes &= lanes - 1; lanes != 0; lanes &= lanes - 1) {
        const int other = __builtin_ctz(lanes);
        if (best.index[other] < hit) {
            lane = other;
            hit = best.index[other];
        }
    }
    side = best.side[lane];
    return hit;
}
