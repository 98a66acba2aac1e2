// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "scene/preconditions.h"
#include "tracer/path_tracer.h"

class DrawStream;
class PackedScene;
struct Vec3;

// Paths side by side. Within a chain of pixels each path takes its draws where the one before
// ended, so one chain is one sequence of dependent searches. Chains with draws of their own do
// not wait for each other: PathLanes traces several at once, one path of each in a vector lane,
// and searches their rays together, one shape at a time for all lanes. A chain's pixels get the
// sums and take the draws that accumulatePaths (fast_paths.h) gives them, bit for bit.
struct LaneChain {
    const PathStart* starts = nullptr; // the chain's first hits, one per pixel
    Vec3* sums = nullptr;              // where each pixel's clamped colour is added
    int count = 0;                     // pixels
    DrawStream* draws = nullptr;
    // If given, rowUsed[k] receives the draws' usedCount() as the path of pixel k * rowLength
    // starts.
    std::uint64_t* rowUsed = nullptr;
    int rowLength = 1;
    // Filled in as it is traced: the next pixel to start, the path segments traced beyond the
    // first hits, and the next row whose start is to be noted in rowUsed.
    int next = 0;
    std::uint64_t segments = 0;
    int nextRow = 0;
};

// The lanes traced side by side with the instruction set in use: PathLanes::kMostLanes, in as
// many of its vectors as that takes (one with AVX-512, two with AVX2, four with SSE4 or NEON);
// 1 where the set has no vectors, and then paths are traced one after another.
int pathLaneCount();

struct PathLanes {
    static constexpr int kMostLanes = 16;
    static constexpr int kDraws = kMaxDepth + 1;

    // The lanes' chains; a lane is busy while its chain has paths to trace. Give a lane a chain
    // with start(); tracePathLanes then traces every busy lane's chain.
    LaneChain chains[kMostLanes];
    void start(int lane, const LaneChain& chain) {
        PATHTRACER_EXPECTS(lane >= 0 && lane < pathLaneCount());
        chains[lane] = chain;
        state[lane] = kStarting;
    }
    bool busy(int lane) const { return state[lane] == kStarting || state[lane] == kInFlight; }

    // Each lane's path in flight, as the tracer keeps it.
    enum LaneState : std::int32_t { kIdle, kStarting, kInFlight, kEnded };
    alignas(64) std::int32_t state[kMostLanes] = {};
    alignas(64) float px[kMostLanes] = {}, py[kMostLanes] = {}, pz[kMostLanes] = {};
    alignas(64) float dx[kMostLanes] = {}, dy[kMostLanes] = {}, dz[kMostLanes] = {};
    // The product of the colours bounced off so far (once the path ended, its colour).
    alignas(64) float red[kMostLanes] = {}, green[kMostLanes] = {}, blue[kMostLanes] = {};
    // Draws used by the path: one per hit, so also the surfaces bounced off while in flight.
    alignas(64) std::int32_t used[kMostLanes] = {};
    alignas(64) std::int32_t segments[kMostLanes] = {}; // traced beyond its first hit
    alignas(64) std::int32_t pixel[kMostLanes] = {};
    // The direction of each path's next bounce, in one row for all lanes, so that a step loads
    // it with one load each of x, y and z (no look-up by lane); and the bounces each path holds.
    // A path writes its draw 1 as it starts, and its next draw after each step it goes on from.
    alignas(64) float nextX[kMostLanes] = {}, nextY[kMostLanes] = {}, nextZ[kMostLanes] = {};
    const std::uint16_t* held[kMostLanes] = {};
};

// Traces the busy lanes' chains until one of them has no path left: returns that lane (now
// idle), or -1 when no lane is busy. `scene` must trace in lanes (PackedScene::tracesInLanes).
int tracePathLanes(const PackedScene& scene, PathLanes& lanes);
