// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/vec3.h"
#include "tracer/path_tracer.h"

class DrawStream;
class PackedScene;

// The fast tracer: the closest-hit search over a PackedScene and the path loop around it,
// compiled once for each instruction set Highway offers this build (the README's platform table
// lists them by architecture; plain code everywhere). Each call runs the widest set this CPU has,
// unless another was chosen with useInstructionSet; every set gives the same results, bit for
// bit. A scene must be packed for the set in use (PackedScene::build, packedLaneCount).

// The index in the scene's shape list of the nearest shape the ray hits, as findClosestShape
// finds it for a ray that does not start at the eye point, or -1; `t` receives its distance or
// kNoHit.
int packedClosestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t);

// What pathTraceRay returns for a ray whose hit at `depth` is `start`, bit for bit and with the
// same draws, searching bounces in `scene` (packed from `shapes`). Adds the path segments it
// traces beyond the first hit to `segments`.
Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start, int depth,
                      DrawStream& draws, std::uint64_t& segments);

// Traces the paths of `count` first hits (depth 0) one after another and adds each path's
// colour, every channel clamped to at most 1, to the matching element of `sums`. Returns the
// path segments traced beyond the first hits.
std::uint64_t accumulatePaths(const PackedScene& scene, const PathStart* starts, int count,
                              DrawStream& draws, Vec3* sums);
// The same, stopping before the first path that cannot hold the bounces it may take before the
// draws' stop (DrawStream::tryReserve): returns the pixels traced, and adds their segments to
// `segments`.
int accumulatePathsUntilStop(const PackedScene& scene, const PathStart* starts, int count,
                             DrawStream& draws, Vec3* sums, std::uint64_t& segments);

// The lanes a scene is packed for on the instruction set in use.
int packedLaneCount();

// The instruction sets this build has code for and this CPU runs, widest first, by name
// ("AVX3" for AVX-512, "AVX2", "SSE4", "SSSE3", "NEON", "SCALAR" or "EMU128" for plain code).
const std::vector<std::string>& instructionSets();
// The one in use.
std::string instructionSet();
// Uses the named set (any case) from now on, or the widest again for an empty name; false, and
// nothing changed, when the name is not one of instructionSets(). Call between frames, and
// pack scenes again afterwards.
bool useInstructionSet(const std::string& name);
