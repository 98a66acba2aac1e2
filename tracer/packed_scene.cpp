#include "tracer/packed_scene.h"

#include <cmath>

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

// The smallest lane value, in every lane. Distances compared here are never NaN.
inline Floats minWith(Floats v, Ints permutation) {
    const Floats w = __builtin_shuffle(v, permutation);
    return v < w ? v : w;
}
inline Floats lanesMin(Floats v) {
#ifdef __AVX__
    v = minWith(v, Ints{4, 5, 6, 7, 0, 1, 2, 3});
    v = minWith(v, Ints{2, 3, 0, 1, 6, 7, 4, 5});
    return minWith(v, Ints{1, 0, 3, 2, 5, 4, 7, 6});
#else
    v = minWith(v, Ints{2, 3, 0, 1});
    return minWith(v, Ints{1, 0, 3, 2});
#endif
}

// Appends a group when the last one is full and returns the lane for the next shape. `empty`
// fills the lanes no shape takes so that they are never hit: all-zero planes and triangles give
// a NaN distance, a sphere of squared radius -infinity a discriminant of -infinity.
template <typename Group>
int nextLane(std::vector<Group>& groups, int count, const Group& empty = Group{}) {
    if (count % kLanes == 0) {
        groups.push_back(empty);
        groups.back().index = Ints{} - 1;
    }
    return count % kLanes;
}

// Keeps, per lane, the nearest accepted distance, ties going to the lower shape index.
inline void keepNearest(Ints accepted, Floats t, Ints index, Floats& bestT, Ints& bestIndex) {
    const Ints better = accepted & ((t < bestT) | ((t == bestT) & (index < bestIndex)));
    bestT = better ? t : bestT;
    bestIndex = better ? index : bestIndex;
}

} // namespace

void PackedScene::build(const std::vector<Shape>& shapes) {
    spheres_.clear();
    planes_.clear();
    triangles_.clear();
    int sphereCount = 0;
    int planeCount = 0;
    int triangleCount = 0;
    for (int i = 0; i < static_cast<int>(shapes.size()); ++i) {
        const Shape& s = shapes[i];
        switch (s.type) {
        case Sphere: {
            SphereGroup empty{};
            empty.radiusSq = splat(-INFINITY);
            const int lane = nextLane(spheres_, sphereCount++, empty);
            SphereGroup& g = spheres_.back();
            g.cx[lane] = s.pos.x;
            g.cy[lane] = s.pos.y;
            g.cz[lane] = s.pos.z;
            g.radiusSq[lane] = s.radiusSq;
            g.index[lane] = i;
            break;
        }
        case Plane: {
            const int lane = nextLane(planes_, planeCount++);
            PlaneGroup& g = planes_.back();
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
            const int lane = nextLane(triangles_, triangleCount++);
            TriangleGroup& g = triangles_.back();
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
            g.index[lane] = i;
            break;
        }
        }
    }
}

int PackedScene::closestHit(const Vec3& origin, const Vec3& dir, float& t) const {
    const Floats ox = splat(origin.x), oy = splat(origin.y), oz = splat(origin.z);
    const Floats dx = splat(dir.x), dy = splat(dir.y), dz = splat(dir.z);
    const Floats minHit = splat(kMinHitDistance);
    const Floats epsilon = splat(0.003f);
    Floats bestT = splat(kNoHit);
    Ints bestIndex = Ints{} - 1;

    // Planes first: nearly every ray meets one, which bounds the tests that follow.
    for (const PlaneGroup& g : planes_) {
        const Floats numerator = (g.px - ox) * g.nx + (g.py - oy) * g.ny + (g.pz - oz) * g.nz;
        const Floats tp = numerator / (g.nx * dx + g.ny * dy + g.nz * dz);
        keepNearest(tp > epsilon, tp, g.index, bestT, bestIndex);
    }

    for (const SphereGroup& g : spheres_) {
        const Floats ocx = ox - g.cx, ocy = oy - g.cy, ocz = oz - g.cz;
        const Floats b = dx * ocx + dy * ocy + dz * ocz;
        const Floats c = (ocx * ocx + ocy * ocy + ocz * ocz) - g.radiusSq;
        const Floats disc = b * b - c;
        // The near root is at most -b, so a lane with -b at or below the hit threshold cannot
        // be hit; square roots are taken only where one can.
        const Ints candidate = (disc > epsilon) & (-b > minHit);
        int lanes = laneBits(candidate);
        if (lanes == 0) {
            continue;
        }
        Floats ts = splat(-1.0f);
        for (; lanes != 0; lanes &= lanes - 1) {
            const int lane = __builtin_ctz(lanes);
            ts[lane] = static_cast<float>(static_cast<double>(-b[lane]) -
                                          std::sqrt(static_cast<double>(disc[lane])));
        }
        keepNearest(candidate & (ts > minHit), ts, g.index, bestT, bestIndex);
    }

    for (const TriangleGroup& g : triangles_) {
        const Floats tt = -((ox - g.ax) * g.nx + (oy - g.ay) * g.ny + (oz - g.az) * g.nz) /
                          (g.nx * dx + g.ny * dy + g.nz * dz);
        // Only a lane whose plane distance could still win needs the inside test.
        const Ints reachable = (tt >= epsilon) & (tt <= lanesMin(bestT));
        if (laneBits(reachable) == 0) {
            continue;
        }
        const Floats wx = (dx * tt + ox) - g.ax;
        const Floats wy = (dy * tt + oy) - g.ay;
        const Floats wz = (dz * tt + oz) - g.az;
        const Floats wu = wx * g.ux + wy * g.uy + wz * g.uz;
        const Floats wv = wx * g.vx + wy * g.vy + wz * g.vz;
        const Floats s = (g.uv * wv - g.vv * wu) / g.d;
        const Floats q = (g.uv * wu - g.uu * wv) / g.d;
        const Ints outside = (s <= 0.0f) | (s >= 1.0f) | (q <= 0.0f) | (s + q >= 1.0f);
        keepNearest(reachable & ~outside & (tt > minHit), tt, g.index, bestT, bestIndex);
    }

    // The nearest distance, then the first shape in list order at that distance.
    const Floats nearest = lanesMin(bestT);
    t = nearest[0];
    if (!(t < kNoHit)) {
        return -1;
    }
    int hit = -1;
    for (int lanes = laneBits(bestT == nearest); lanes != 0; lanes &= lanes - 1) {
        const int index = bestIndex[__builtin_ctz(lanes)];
        hit = hit < 0 || index < hit ? index : hit;
    }
    return hit;
}
