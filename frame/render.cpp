// SPDX-License-Identifier: MIT
#include "frame/render.h"

#include "frame/frame_scene.h"
#include "frame/image.h"
#include "scene/scene.h"
#include "scene/shape.h"
#include "tracer/fast_paths.h"

Vec3 primaryDirection(int row, int column) {
    const float fy = static_cast<float>(row - kHeight / 2);
    const float fx = static_cast<float>(column - kWidth / 2);
    // 262144 is the focal distance squared.
    return makeVec3(fx, fy, 512.0f) * unitScale(fx * fx + fy * fy + 262144.0f);
}

PathStart primaryHit(const PackedScene& scene, int row, int column) {
    const Vec3 dir = primaryDirection(row, column);
    PathStart start;
    float t = 0.0f;
    start.shape = packedClosestHit(scene, gRayOrigin, dir, t);
    if (start.shape >= 0) {
        shapes[static_cast<std::size_t>(start.shape)].getCollisionInfo(gRayOrigin, dir, t,
                                                                       start.point, start.normal);
    }
    return start;
}

std::uint64_t render(int first, int end, const FrameScene& scene, DrawStream& draws) {
    const int begin = first * kWidth;
    const int count = (end - first) * kWidth;
    const std::uint64_t segments = accumulatePaths(scene.packed, scene.primaryHits.data() + begin,
                                                   count, draws, gAccumColor1.data() + begin);
    // Every pixel's primary ray is a segment too, searched once and kept.
    return segments + static_cast<std::uint64_t>(count);
}

int renderUntilStop(int first, int count, const FrameScene& scene, DrawStream& draws,
                    std::uint64_t& segments) {
    const int traced =
        accumulatePathsUntilStop(scene.packed, scene.primaryHits.data() + first, count, draws,
                                 gAccumColor1.data() + first, segments);
    segments += static_cast<std::uint64_t>(traced);
    return traced;
}
