// SPDX-License-Identifier: MIT
#include "frame/frame_scene.h"

#include <cstring>

#include "frame/image.h"
#include "frame/render.h"
#include "scene/scene.h"
#include "tracer/fast_paths.h"

namespace {

FrameScene gFrameScene;
std::vector<Shape> gBuiltFrom;
Vec3 gBuiltForEye;
bool gBuilt = false;

// (An empty list's data may be a null pointer, which memcmp must not be given.)
bool sameBytes(const void* a, const void* b, std::size_t size) {
    return size == 0 || std::memcmp(a, b, size) == 0;
}

bool upToDate() {
    return gBuilt && gFrameScene.packed.laneCount() == packedLaneCount() &&
           gBuiltFrom.size() == shapes.size() &&
           sameBytes(gBuiltFrom.data(), shapes.data(), shapes.size() * sizeof(Shape)) &&
           sameBytes(&gBuiltForEye, &gRayOrigin, sizeof(Vec3));
}

} // namespace

const FrameScene& prepareFrameScene() {
    if (upToDate()) {
        return gFrameScene;
    }
    gFrameScene.packed.build(shapes);
    gFrameScene.primaryHits.resize(kPixelCount);
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            gFrameScene.primaryHits[row * kWidth + column] =
                primaryHit(gFrameScene.packed, row, column);
        }
    }
    gBuiltFrom = shapes;
    gBuiltForEye = gRayOrigin;
    gBuilt = true;
    return gFrameScene;
}
