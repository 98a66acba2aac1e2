#include "frame/render.h"

#include <algorithm>

#include "frame/frame_scene.h"
#include "frame/image.h"
#include "scene/scene.h"
#include "scene/shape.h"
#include "tracer/closest_hit.h"

Vec3 primaryDirection(int row, int column) {
    const float fy = static_cast<float>(row - kHeight / 2);
    const float fx = static_cast<float>(column - kWidth / 2);
    // 262144 is the focal distance squared.
    return makeVec3(fx, fy, 512.0f) * unitScale(fx * fx + fy * fy + 262144.0f);
}

PathStart primaryHit(int row, int column) {
    const Vec3 dir = primaryDirection(row, column);
    PathStart start;
    float t = 0.0f;
    const Shape* hit = findClosestShape(gRayOrigin, dir, t, true);
    start.shape = hit == nullptr ? -1 : static_cast<int>(hit - shapes.data());
    if (hit != nullptr) {
        hit->getCollisionInfo(gRayOrigin, dir, t, start.point, start.normal);
    }
    return start;
}

std::uint64_t render(int first, int end, const FrameScene& scene, DrawStream& draws) {
    std::uint64_t segments = 0;
    for (int i = first * kWidth; i < end * kWidth; ++i) {
        const Vec3 col = tracePathFromHit(scene.packed, scene.primaryHits[i], 0, draws, segments);
        Vec3& acc = gAccumColor1[i];
        acc.x += std::min(1.0f, col.x);
        acc.y += std::min(1.0f, col.y);
        acc.z += std::min(1.0f, col.z);
    }
    // Every pixel's primary ray is a segment too, searched once and kept.
    return segments + static_cast<std::uint64_t>(end - first) * kWidth;
}
