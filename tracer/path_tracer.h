#pragma once

#include <cstdint>

#include "scene/vec3.h"

class DrawStream;
class PackedScene;

// Paths reach at most this depth: depths 0 to 10 are traced, so at most 11 surface hits.
constexpr int kMaxDepth = 10;

// The light one ray brings back: the emission the path finally reaches times the colours of the
// surfaces it bounced off, or black when it leaves the scene or runs past kMaxDepth. Every hit
// draws a bounce, even on a light. Depth 0 marks a primary ray, which must start at the eye.
// This is the plain recursive form over `shapes`; tracePathFromHit is the fast equivalent.
Vec3 pathTraceRay(const Vec3& origin, const Vec3& dir, int depth, DrawStream& draws);

// The first hit of a path, already found: shape index (-1 for none), point and normal.
struct PathStart {
    Vec3 point;
    Vec3 normal;
    int shape;
};

// What pathTraceRay returns for a ray whose hit at `depth` is `start`, bit for bit and with the
// same draws, searching bounces in `scene` (packed from `shapes`). Adds the path segments it
// traces beyond the first hit to `segments`.
Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start, int depth,
                      DrawStream& draws, std::uint64_t& segments);
