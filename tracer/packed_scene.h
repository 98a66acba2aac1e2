#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "scene/shape.h"

// The shapes of a scene packed by kind, one shape per SIMD lane, with the per-triangle constants
// (edges and their dot products) computed once. The closest hit and its distance found here are
// the ones findClosestShape finds, bit for bit: the lanes do Shape::intersect's single-precision
// operations, and depart from them only where the result provably cannot change (a mirrored
// direction's signs applied at the end, a dot product with an axis-aligned normal taken as one
// signed coordinate, plane distances shared with triangles, the triangle inside test skipped
// far from the triangle); packed_scene.cpp derives each.
class PackedScene {
  public:
#ifdef __AVX__
    static constexpr int kLanes = 8;
#else
    static constexpr int kLanes = 4;
#endif
    using Floats = float __attribute__((vector_size(4 * kLanes)));
    using Ints = std::int32_t __attribute__((vector_size(4 * kLanes)));
    // A point or direction as one register: x, y and z in the first three lanes.
    using XYZ = float __attribute__((vector_size(16)));

    void build(const std::vector<Shape>& shapes);

    // The index in the shape list of the nearest shape hit by a ray that does not start at the
    // eye point, or -1; `t` receives its distance or kNoHit. Ties go to the earlier shape.
    int closestHit(const Vec3& origin, const Vec3& dir, float& t) const {
        float side;
        return closestHit(origin, dir, 0, dir, t, side);
    }

    // The same search along `drawn` with its sign bits flipped by `flip` (0 or 0x80000000), the
    // direction mirrored() gives, and also giving `side` = normal . `nextDir` for the stored
    // normal of a plane or triangle that is hit (the side test of the bounce that follows,
    // worked out alongside the search instead of after it); for a sphere `side` is not set.
    int closestHit(const Vec3& origin, const Vec3& drawn, std::uint32_t flip, const Vec3& nextDir,
                   float& t, float& side) const {
        return closestHit(lanesOf(origin), lanesOf(drawn), flip, lanesOf(nextDir), t, side);
    }
    int closestHit(XYZ origin, XYZ drawn, std::uint32_t flip, XYZ nextDir, float& t,
                   float& side) const;

    static XYZ lanesOf(const Vec3& v) {
        XYZ lanes;
        std::memcpy(&lanes, &v, sizeof lanes);
        return lanes;
    }

    // For shapes whose normal lies along an axis (two components zero, the third 1 or -1): that
    // axis (0, 1 or 2), the sign bit of the normal's component, and the plane's coordinate on it. A
    // dot product with such a normal is, to the sign of a zero, the one coordinate with its sign
    // flipped or not; a zero of either sign makes a distance of zero, infinity or NaN, which no
    // search accepts, so the hits found are the same.
    struct AxisNormal {
        Ints axis, flip;
        Floats at;
    };

    // Shapes of one kind, one per lane.
    struct SphereGroup {
        Floats cx, cy, cz, radiusSq;
        Ints index; // position in the shape list, -1 for an empty lane
    };
    struct PlaneGroup {
        Floats px, py, pz, nx, ny, nz;
        AxisNormal axis;
        Ints index;
    };
    struct TriangleGroup {
        Floats ax, ay, az, nx, ny, nz; // vert0 and the normal
        AxisNormal axis;
        Ints planeLane; // where the plane group computes this lane's distance, when it does
        Floats ux, uy, uz, vx, vy, vz; // vert1 - vert0, vert2 - vert0
        Floats uu, uv, vv, d;
        Floats loX, loY, loZ, hiX, hiY, hiZ; // box no hit point outside of can be inside
        Ints index;
    };

    // Whether the axis-aligned triangles take their distances from the plane group's division.
    bool sharesPlaneDistances() const {
        return sharedPlaneDistances_;
    }

  private:
    void sharePlaneDistances();

    bool sharedPlaneDistances_ = false;
    std::vector<SphereGroup> spheres_;
    std::vector<PlaneGroup> planes_, axisPlanes_;
    std::vector<TriangleGroup> triangles_, axisTriangles_;
};
