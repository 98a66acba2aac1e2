// SPDX-License-Identifier: MIT
#include "frame/image.h"

#include <algorithm>

HugePageVector<Vec3> gAccumColor1(kPixelCount);
Vec3 gRayOrigin = makeVec3(0.0f, 0.0f, -32.0f);
int gSamples = 0;

void clearImage() {
    std::fill(gAccumColor1.begin(), gAccumColor1.end(), Vec3{});
    gSamples = 0;
}
