#include "frame/render.h"

#include <algorithm>

#include "frame/image.h"
#include "scene/shape.h"
#include "tracer/path_tracer.h"

Vec3 primaryDirection(int row, int column) {
    const float fy = static_cast<float>(row - kHeight / 2);
    const float fx = static_cast<float>(column - kWidth / 2);
    // 262144 is the focal distance squared.
    return makeVec3(fx, fy, 512.0f) * unitScale(fx * fx + fy * fy + 262144.0f);
}

void render(int first, int end) {
    for (int row = first; row < end; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            const Vec3 col = pathTraceRay(gRayOrigin, primaryDirection(row, column), 0);
            Vec3& acc = gAccumColor1[row * kWidth + column];
            acc.x += std::min(1.0f, col.x);
            acc.y += std::min(1.0f, col.y);
            acc.z += std::min(1.0f, col.z);
        }
    }
}
