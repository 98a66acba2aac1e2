// SPDX-License-Identifier: MIT
#include "tracer/packed_scene.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "tracer/fast_paths.h"
#include "tracer/path_tracer.h"

namespace {

using IntRow = PackedScene::IntRow;

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

// Whether a shape with an axis-aligned normal may be searched as one: the plain tests multiply the
// other two coordinates' differences (point - origin) by zero components of the normal, which
// gives a zero only while those differences are finite. With every coordinate of `point` within
// 2^100 and a finite origin no difference can overflow (float's largest value is 2^128 - 2^104).
bool searchableAlongAxis(const Vec3& normal, const Vec3& point) {
    const float limit = 0x1p100f;
    return normalAxis(normal) >= 0 && std::fabs(point.x) <= limit && std::fabs(point.y) <= limit &&
           std::fabs(point.z) <= limit;
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
//
// That bound holds only while the test's products are normal floats: the box is built for edges
// of squared length between 2^-30 and 2^30 with vert0 within 2^60 of the origin, and the search
// uses boxes only for rays whose origin lies within 2^64 and whose direction within 2^20 in
// every coordinate (packedClosestHit). Then |w| < 2^66, its dot products with an edge stay below
// 2^83 and the numerators below 2^114: nothing overflows, and for a point outside the box nothing
// that decides underflows. (Past that the plain test can fail open: for edges of about 3e9, uu vv
// overflows, D is -infinity, s and q are NaN, and it reports a hit anywhere in the triangle's
// plane, which a box would cut off.)
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
    const auto edgeInRange = [](float lengthSq) {
        return lengthSq >= 0x1p-30f && lengthSq <= 0x1p30f;
    };
    const auto nearOrigin = [](float c) { return std::fabs(c) <= 0x1p60f; };
    const bool inRange = edgeInRange(uu) && edgeInRange(vv) && nearOrigin(at[0]) &&
                         nearOrigin(at[1]) && nearOrigin(at[2]);
    const double sin2 = -double(d) / (double(uu) * double(vv));
    if (!inAxisPlane || !inRange || !(sin2 >= 0.01)) {
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

// A triangle's constants as its inside test computes them (edges from vert0, their dot products,
// the determinant) and its box, rounded outward so that the float box holds the exact one.
struct TriangleValues {
    Vec3 u, v;
    float uu, uv, vv, d;
    float lo[3], hi[3];
};
TriangleValues triangleValues(const Shape& s) {
    TriangleValues t;
    t.u = s.vert1 - s.vert0;
    t.v = s.vert2 - s.vert0;
    t.uu = dot(t.u, t.u);
    t.uv = dot(t.u, t.v);
    t.vv = dot(t.v, t.v);
    t.d = t.uv * t.uv - t.uu * t.vv;
    double lo[3];
    double hi[3];
    insideTestBox(s, t.uu, t.vv, t.d, lo, hi);
    for (int axis = 0; axis < 3; ++axis) {
        t.lo[axis] = outwardFloat(lo[axis], -INFINITY);
        t.hi[axis] = outwardFloat(hi[axis], INFINITY);
    }
    return t;
}

// Groups whose lanes are never hit: all-zero planes and triangles give a NaN distance, as does a
// NaN coordinate on the axis, and a sphere of squared radius -infinity a discriminant of
// -infinity. No lane has a shape index.
template <typename Group> Group emptyGroup() {
    Group g{};
    std::fill(std::begin(g.index), std::end(g.index), -1);
    if constexpr (std::is_same_v<Group, PackedScene::SphereGroup>) {
        std::fill(std::begin(g.radiusSq), std::end(g.radiusSq), -INFINITY);
    } else {
        std::fill(std::begin(g.axis.at), std::end(g.axis.at), NAN);
    }
    return g;
}

// Appends an empty group when the last one is full and returns the lane for the next shape.
template <typename Group> int nextLane(std::vector<Group>& groups, int count, int lanes) {
    if (count % lanes == 0) {
        groups.push_back(emptyGroup<Group>());
    }
    return count % lanes;
}

// Gives a kind with no shapes one empty group.
template <typename Group> void keepAGroup(std::vector<Group>& groups) {
    if (groups.empty()) {
        groups.push_back(emptyGroup<Group>());
    }
}

// Where a packing step writes a value: a group's lane, or a lane shape's one value. Each kind is
// packed by one step for both records, which name their values alike.
template <typename T, std::size_t N> T& slot(T (&lanes)[N], int lane) {
    return lanes[lane];
}
template <typename T> T& slot(T& value, int) {
    return value;
}

// The point a plane's or a triangle's plane is given by, as its plain test takes it; none for a
// sphere.
const Vec3* planePoint(const Shape& s) {
    switch (s.type) {
    case Plane:
        return &s.pos;
    case Triangle:
        return &s.vert0;
    case Sphere:
        return nullptr;
    }
    return nullptr;
}

// Whether the shape is searched along the axis of its normal (searchableAlongAxis).
bool alongAxis(const Shape& s) {
    const Vec3* point = planePoint(s);
    return point != nullptr && searchableAlongAxis(s.normal, *point);
}

// HitValues::kSphere where a hit's normal is taken from the centre (getCollisionInfo), else 0.
std::int32_t normalFromCentre(const Shape& s) {
    switch (s.type) {
    case Sphere:
        return PackedScene::HitValues::kSphere;
    case Plane:
    case Triangle:
        return 0;
    }
    return 0;
}

template <typename Values> void packAxis(Values& g, int lane, const Shape& s) {
    const int axis = normalAxis(s.normal);
    const float n[3] = {s.normal.x, s.normal.y, s.normal.z};
    const Vec3& point = *planePoint(s);
    const float p[3] = {point.x, point.y, point.z};
    slot(g.axis.axis, lane) = axis;
    slot(g.axis.flip, lane) = n[axis] < 0.0f ? INT32_MIN : 0;
    slot(g.axis.at, lane) = p[axis];
}

template <typename Values> void packSphere(Values& g, int lane, const Shape& s, int index) {
    slot(g.cx, lane) = s.pos.x;
    slot(g.cy, lane) = s.pos.y;
    slot(g.cz, lane) = s.pos.z;
    slot(g.radiusSq, lane) = s.radiusSq;
    slot(g.index, lane) = index;
}

// What a plane and a triangle share: the normal, and its axis where it lies along one.
template <typename Values> void packNormal(Values& g, int lane, const Shape& s) {
    if (alongAxis(s)) {
        packAxis(g, lane, s);
    }
    slot(g.nx, lane) = s.normal.x;
    slot(g.ny, lane) = s.normal.y;
    slot(g.nz, lane) = s.normal.z;
}

template <typename Values> void packPlane(Values& g, int lane, const Shape& s, int index) {
    packNormal(g, lane, s);
    slot(g.px, lane) = s.pos.x;
    slot(g.py, lane) = s.pos.y;
    slot(g.pz, lane) = s.pos.z;
    slot(g.index, lane) = index;
}

template <typename Values> void packTriangle(Values& g, int lane, const Shape& s, int index) {
    packNormal(g, lane, s);
    const TriangleValues t = triangleValues(s);
    slot(g.ax, lane) = s.vert0.x;
    slot(g.ay, lane) = s.vert0.y;
    slot(g.az, lane) = s.vert0.z;
    slot(g.ux, lane) = t.u.x;
    slot(g.uy, lane) = t.u.y;
    slot(g.uz, lane) = t.u.z;
    slot(g.vx, lane) = t.v.x;
    slot(g.vy, lane) = t.v.y;
    slot(g.vz, lane) = t.v.z;
    slot(g.uu, lane) = t.uu;
    slot(g.uv, lane) = t.uv;
    slot(g.vv, lane) = t.vv;
    slot(g.d, lane) = t.d;
    slot(g.loX, lane) = t.lo[0];
    slot(g.loY, lane) = t.lo[1];
    slot(g.loZ, lane) = t.lo[2];
    slot(g.hiX, lane) = t.hi[0];
    slot(g.hiY, lane) = t.hi[1];
    slot(g.hiZ, lane) = t.hi[2];
    slot(g.index, lane) = index;
}

template <typename Group> void markLight(Group& g, int lane, const Shape& s) {
    g.light[lane] = isEmitter(s) ? PackedScene::kLightBits : 0;
}

} // namespace

void PackedScene::build(const std::vector<Shape>& shapes) {
    build(shapes, packedLaneCount());
}

void PackedScene::build(const std::vector<Shape>& shapes, int lanes) {
    laneCount_ = std::clamp(lanes, 1, kMaxLanes);
    shapes_ = shapes;
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
        const bool axisAligned = alongAxis(s);
        switch (s.type) {
        case Sphere: {
            const int lane = nextLane(spheres_, sphereCount++, laneCount_);
            packSphere(spheres_.back(), lane, s, i);
            markLight(spheres_.back(), lane, s);
            break;
        }
        case Plane: {
            auto& groups = axisAligned ? axisPlanes_ : planes_;
            const int lane =
                nextLane(groups, axisAligned ? axisPlaneCount++ : planeCount++, laneCount_);
            packPlane(groups.back(), lane, s, i);
            markLight(groups.back(), lane, s);
            break;
        }
        case Triangle: {
            auto& groups = axisAligned ? axisTriangles_ : triangles_;
            const int lane =
                nextLane(groups, axisAligned ? axisTriangleCount++ : triangleCount++, laneCount_);
            packTriangle(groups.back(), lane, s, i);
            markLight(groups.back(), lane, s);
            break;
        }
        }
    }
    // The kinds searched with searchGroups always have a group.
    keepAGroup(spheres_);
    keepAGroup(axisPlanes_);
    keepAGroup(axisTriangles_);
    sharePlaneDistances();
    buildLaneShapes();
}

namespace {

// A colour component by which products stay exact: +0, or a power of two from 2^-8 to 1.
bool exactFactor(float c) {
    int exponent = 0;
    return (c == 0.0f && !std::signbit(c)) ||
           (c > 0.0f && std::frexp(c, &exponent) == 0.5f && exponent <= 1 && exponent >= -7);
}

// A light's component that a product of such factors leaves exact: +0, or between 2^-30 and
// 2^30. A path reaches a light at depth kMaxDepth at the deepest, having bounced off kMaxDepth
// surfaces: their colours, 2^-8 at the least, take it no lower than 2^-110, still a normal float
// (a deeper limit would need a brighter least light).
static_assert(-30 - 8 * kMaxDepth >= std::numeric_limits<float>::min_exponent - 1,
              "the least exact light times the least colours is no longer a normal float");
bool exactLight(float e) {
    return (e == 0.0f && !std::signbit(e)) || (e >= 0x1p-30f && e <= 0x1p30f);
}

// A path's colour folds back from the light it reached: light = colour * light + emission for
// each surface it bounced off, from the far end (or black when it reached none). A surface it
// bounced off is no light, and with its emission all zeros each step is the one product
// colour * light (adding a zero of either sign to a product of factors that are all +0 or above
// leaves it as it is). With every colour component +0 or a power of two, and every light's
// component +0 or within the range above, each product is exact, so their order does not
// matter: the colour is the product of the colours taken forward, times the light.
bool foldsInAnyOrder(const std::vector<Shape>& shapes) {
    for (const Shape& s : shapes) {
        if (isEmitter(s)) {
            if (!exactLight(s.emission.x) || !exactLight(s.emission.y) ||
                !exactLight(s.emission.z)) {
                return false;
            }
        } else if (s.emission.x != 0.0f || s.emission.y != 0.0f || s.emission.z != 0.0f ||
                   !exactFactor(s.color.x) || !exactFactor(s.color.y) || !exactFactor(s.color.z)) {
            return false;
        }
    }
    return !shapes.empty();
}

} // namespace

void PackedScene::buildLaneShapes() {
    laneShapes_.clear();
    hitValues_ = HitValues{};
    tracesInLanes_ = foldsInAnyOrder(shapes_);
    for (int i = 0; i < static_cast<int>(shapes_.size()); ++i) {
        const Shape& s = shapes_[i];
        HitValues& h = hitValues_;
        h.nx.push_back(s.normal.x);
        h.ny.push_back(s.normal.y);
        h.nz.push_back(s.normal.z);
        h.cx.push_back(s.pos.x);
        h.cy.push_back(s.pos.y);
        h.cz.push_back(s.pos.z);
        const Vec3& factor = isEmitter(s) ? s.emission : s.color;
        h.red.push_back(factor.x);
        h.green.push_back(factor.y);
        h.blue.push_back(factor.z);
        h.traits.push_back(normalFromCentre(s) | (isEmitter(s) ? HitValues::kLight : 0));

        LaneShape l{};
        const bool axisAligned = alongAxis(s);
        switch (s.type) {
        case Sphere:
            l.kind = LaneShape::Sphere;
            packSphere(l, 0, s, i);
            laneShapes_.push_back(l);
            break;
        case Plane:
            l.kind = axisAligned ? LaneShape::AxisPlane : LaneShape::Plane;
            packPlane(l, 0, s, i);
            laneShapes_.push_back(l);
            break;
        case Triangle:
            l.kind = axisAligned ? LaneShape::AxisTriangle : LaneShape::Triangle;
            packTriangle(l, 0, s, i);
            laneShapes_.push_back(l);
            break;
        }
    }
    const std::size_t padded =
        std::max<std::size_t>(2, (shapes_.size() + HitValues::kPadding - 1) / HitValues::kPadding) *
        HitValues::kPadding;
    HitValues& h = hitValues_;
    for (auto* values : {&h.nx, &h.ny, &h.nz, &h.cx, &h.cy, &h.cz, &h.red, &h.green, &h.blue}) {
        values->resize(padded);
    }
    h.traits.resize(padded);
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
    while (used < laneCount_ && planes.index[used] >= 0) {
        ++used;
    }
    IntRow planeLane{};
    for (int lane = 0; lane < laneCount_; ++lane) {
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
            if (used == laneCount_) {
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
    std::copy(std::begin(planeLane), std::end(planeLane), triangles.planeLane);
    sharedPlaneDistances_ = true;
}
