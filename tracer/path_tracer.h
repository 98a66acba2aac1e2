#pragma once

#include <cstdint>

#include "scene/vec3.h"

// Paths reach at most this depth: depths 0 to 10 are traced, so at most 11 surface hits.
constexpr int kMaxDepth = 10;

// The light one ray brings back: the emission the path finally reaches times the colours of the
// surfaces it bounced off, or black when it leaves the scene or runs past kMaxDepth.
// Depth 0 marks a primary ray, which must start at the eye point.
Vec3 pathTraceRay(const Vec3& origin, const Vec3& dir, int depth);

// Path segments (closest-hit searches) traced so far on the calling thread.
std::uint64_t tracedSegments();
