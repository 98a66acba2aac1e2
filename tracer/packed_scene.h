// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <vector>

#include "scene/shape.h"

// The shapes of a scene packed by kind, one shape per SIMD lane, with the per-triangle constants
// (edges and their dot products) computed once. The closest hit and its distance found in it
// (packed_search-inl.h) are the ones findClosestShape finds, bit for bit: the lanes do
// Shape::intersect's single-precision operations (each kind's test written once, in
// shape_kernels-inl.h), and depart from them only where the result provably cannot change (a
// mirrored direction's signs applied at the end, a dot product with an axis-aligned normal taken
// as one signed coordinate, plane distances shared with triangles, the triangle inside test
// skipped far from the triangle); packed_scene.cpp and the search derive each.
//
// A scene is packed for a number of lanes, that of the instruction set the search runs on
// (fast_paths.h); groups hold kMaxLanes values, of which the first `lanes()` are used.
class PackedScene {
  public:
    static constexpr int kMaxLanes = 8;

    // Packs `shapes` for the lanes of the instruction set in use now.
    void build(const std::vector<Shape>& shapes);
    // Packs `shapes` for `lanes` lanes (1 to kMaxLanes).
    void build(const std::vector<Shape>& shapes, int lanes);

    int laneCount() const { return laneCount_; }
    // The shapes it was packed from, in list order.
    const std::vector<Shape>& shapes() const { return shapes_; }

    using FloatRow = float[kMaxLanes];
    using IntRow = std::int32_t[kMaxLanes];

    // For shapes whose normal lies along an axis (two components zero, the third 1 or -1): that
    // axis (0, 1 or 2), the sign bit of the normal's component, and the plane's coordinate on it.
    // A dot product with such a normal is, to the sign of a zero, the one coordinate with its sign
    // flipped or not; a distance is then the quotient of two coordinates' differences, whose
    // signs flip alike (axisDistance in shape_kernels-inl.h), and only the side of a bounce
    // takes the sign.
    struct AxisNormal {
        alignas(32) IntRow axis;
        alignas(32) IntRow flip;
        alignas(32) FloatRow at;
    };

    // Each group's `light` holds kLightBits (a float's exponent bits) in the lanes of shapes that
    // emit, 0 in others: or-ed into the side a search gives, it makes a light's side not finite.
    static constexpr std::int32_t kLightBits = 0x7f800000;

    // Shapes of one kind, one per lane.
    struct alignas(32) SphereGroup {
        FloatRow cx, cy, cz, radiusSq;
        IntRow index; // position in the shape list, -1 for an empty lane
        IntRow light;
    };
    struct alignas(32) PlaneGroup {
        FloatRow px, py, pz, nx, ny, nz;
        AxisNormal axis;
        IntRow index;
        IntRow light;
    };
    struct alignas(32) TriangleGroup {
        FloatRow ax, ay, az, nx, ny, nz; // vert0 and the normal
        AxisNormal axis;
        IntRow planeLane; // where the plane group computes this lane's distance, when it does
        FloatRow ux, uy, uz, vx, vy, vz; // vert1 - vert0, vert2 - vert0
        FloatRow uu, uv, vv, d;
        FloatRow loX, loY, loZ, hiX, hiY, hiZ; // box no hit point outside of can be inside
        IntRow index;
        IntRow light;
    };

    // The groups of each kind. Spheres, axis-aligned planes and axis-aligned triangles always
    // have at least one group (empty lanes are never hit), so that the search can take the first
    // group of each without a test.
    const std::vector<SphereGroup>& spheres() const { return spheres_; }
    const std::vector<PlaneGroup>& axisPlanes() const { return axisPlanes_; }
    const std::vector<PlaneGroup>& planes() const { return planes_; }
    const std::vector<TriangleGroup>& axisTriangles() const { return axisTriangles_; }
    const std::vector<TriangleGroup>& triangles() const { return triangles_; }

    // Whether every shape lies in the first group of its kind: one group each of spheres,
    // axis-aligned planes and axis-aligned triangles, and no other. The search then takes those
    // groups alone, in straight-line code (packed_search-inl.h).
    bool inFirstGroups() const {
        return spheres_.size() == 1 && axisPlanes_.size() == 1 && axisTriangles_.size() == 1 &&
               planes_.empty() && triangles_.empty();
    }

    // Whether the axis-aligned triangles take their distances from the plane group's division.
    bool sharesPlaneDistances() const { return sharedPlaneDistances_; }

    // The scene as the tracer of paths side by side (path_lanes.h) tests it: one ray per lane,
    // each shape in list order. Its values are named as its kind's group names them (each kind's
    // packing step fills both), and the axis-aligned kinds take the one coordinate along their
    // normal, as the groups do; a triangle's box is its group's.
    struct LaneShape {
        // The shape's kind (ShapeType) split by how the lanes search it: along an axis or not.
        enum Kind : std::int32_t { AxisPlane, Plane, Sphere, AxisTriangle, Triangle };
        Kind kind;
        std::int32_t index; // in the shape list
        struct {
            std::int32_t axis, flip;
            float at;
        } axis;                       // the axis-aligned kinds, as AxisNormal
        float cx, cy, cz, radiusSq;   // sphere
        float px, py, pz;             // plane: pos
        float nx, ny, nz;             // plane and triangle: the normal
        float ax, ay, az;             // triangle: vert0
        float ux, uy, uz, vx, vy, vz; // triangle: its edges, and as TriangleGroup
        float uu, uv, vv, d;
        float loX, loY, loZ, hiX, hiY, hiZ;
    };
    // What a hit on each shape gives a path, by index in the shape list (each list padded with
    // zeros to a whole number of kPadding values, at least two).
    struct HitValues {
        static constexpr int kPadding = 16;
        std::vector<float> nx, ny, nz; // stored normal
        std::vector<float> cx, cy, cz; // sphere centre
        // The factor a hit multiplies a path's colour by: the emission for a light, where the
        // path ends; the colour otherwise.
        std::vector<float> red, green, blue;
        // What a hit means for the path, as bits (not the shape's kind, ShapeType, nor how the
        // lanes search it, LaneShape::Kind): kSphere, its normal is taken from the centre;
        // kLight, the path ends there.
        std::vector<std::int32_t> traits;
        static constexpr std::int32_t kSphere = 1, kLight = 2;
    };
    const std::vector<LaneShape>& laneShapes() const { return laneShapes_; }
    const HitValues& hitValues() const { return hitValues_; }
    // Whether paths may be traced side by side: a path's colour is then the product of the
    // colours it bounced off and the emission it reached, exactly, in any order (see
    // packed_scene.cpp), so the lanes multiply it forward instead of folding it back.
    bool tracesInLanes() const { return tracesInLanes_; }

  private:
    void sharePlaneDistances();
    void buildLaneShapes();

    bool tracesInLanes_ = false;
    std::vector<LaneShape> laneShapes_;
    HitValues hitValues_;

    int laneCount_ = 0;
    bool sharedPlaneDistances_ = false;
    std::vector<Shape> shapes_;
    std::vector<SphereGroup> spheres_;
    std::vector<PlaneGroup> planes_, axisPlanes_;
    std::vector<TriangleGroup> triangles_, axisTriangles_;
};
