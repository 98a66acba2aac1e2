// SPDX-License-Identifier: MIT
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/random_source.h"
#include "test_support.h"
#include "tracer/draws.h"
#include "tracer/fast_paths.h"
#include "tracer/packed_scene.h"
#include "tracer/path_lanes.h"

// Chains of pixels with draws of their own, traced side by side (tracePathLanes) and one chain
// after another (accumulatePaths), each chain's two streams started at the same position: every
// pixel must get the same sum, and every chain the same draws, segments and values used as
// every `rowLength`-th pixel's path starts. Chains beyond the lanes are given to lanes as others
// end, so that lanes take new chains while others are in flight. Shared by the tests and the
// search fuzzer.
struct Chain {
    int first; // its first pixel
    int count;
    std::uint64_t start; // the position its draws start at, from the origin
};

// What differs, in words (empty when nothing does), with the first pixel it differs at or -1.
struct ChainsDifference {
    std::string what;
    int pixel = -1;
};

inline ChainsDifference compareChainsSideBySide(const PackedScene& packed,
                                                const std::vector<PathStart>& starts,
                                                const std::vector<Chain>& chains,
                                                const RandomSequence::State& origin,
                                                int rowLength) {
    const int n = static_cast<int>(chains.size());
    std::vector<RandomSource> sources(2 * static_cast<std::size_t>(n));
    std::vector<DrawStream> draws;
    draws.reserve(sources.size());
    for (RandomSource& source : sources) {
        draws.emplace_back(source);
    }
    for (int k = 0; k < 2 * n; ++k) {
        draws[k].startAt(origin, chains[k % n].start);
    }
    // Sums that are not zero, so that a pixel added to twice or not at all shows.
    std::vector<Vec3> expected(starts.size(), makeVec3(0.25f, 0.5f, 0.0f));
    std::vector<Vec3> got = expected;
    std::vector<std::uint64_t> segments(n);
    std::vector<std::vector<std::uint64_t>> rowUsed(n);
    std::vector<std::vector<std::uint64_t>> laneRowUsed(n);
    for (int k = 0; k < n; ++k) {
        const Chain& c = chains[k];
        for (int i = 0; i < c.count; i += rowLength) {
            rowUsed[k].push_back(draws[k].usedCount());
            segments[k] += accumulatePaths(packed, starts.data() + c.first + i,
                                           std::min(rowLength, c.count - i), draws[k],
                                           expected.data() + c.first + i);
        }
        laneRowUsed[k].assign(rowUsed[k].size(), 0);
    }

    PathLanes lanes;
    std::vector<std::uint64_t> laneSegments(n);
    std::vector<int> chainOf(PathLanes::kMostLanes, -1);
    int next = 0;
    const auto give = [&](int lane) {
        if (next == n) {
            return;
        }
        LaneChain c;
        c.starts = starts.data() + chains[next].first;
        c.sums = got.data() + chains[next].first;
        c.count = chains[next].count;
        c.draws = &draws[n + next];
        c.rowUsed = laneRowUsed[next].data();
        c.rowLength = rowLength;
        lanes.start(lane, c);
        chainOf[lane] = next++;
    };
    for (int lane = 0; lane < pathLaneCount(); ++lane) {
        give(lane);
    }
    for (int lane = tracePathLanes(packed, lanes); lane >= 0;
         lane = tracePathLanes(packed, lanes)) {
        if (lanes.chains[lane].next != lanes.chains[lane].count) {
            return {"a lane ended before its chain", chains[chainOf[lane]].first};
        }
        laneSegments[chainOf[lane]] = lanes.chains[lane].segments;
        give(lane);
    }
    if (next != n) {
        return {"chains left untraced", chains[next].first};
    }

    for (int k = 0; k < n; ++k) {
        const Chain& c = chains[k];
        const std::string chain = "chain " + std::to_string(k) + ": ";
        if (draws[n + k].usedEnd() != draws[k].usedEnd()) {
            return {chain + "its draws end elsewhere", c.first};
        }
        if (laneSegments[k] != segments[k]) {
            return {chain + "another count of segments", c.first};
        }
        if (laneRowUsed[k] != rowUsed[k]) {
            return {chain + "other values used as its rows start", c.first};
        }
        for (int i = c.first; i < c.first + c.count; ++i) {
            if (floatBits(got[i].x) != floatBits(expected[i].x) ||
                floatBits(got[i].y) != floatBits(expected[i].y) ||
                floatBits(got[i].z) != floatBits(expected[i].z)) {
                return {chain + "another sum", i};
            }
        }
    }
    return {};
}
