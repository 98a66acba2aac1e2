// SPDX-License-Identifier: MIT
#include "tracer/bounce_table.h"

#include "scene/shape.h"

GridDirection normaliseGridPoint(float x, float y, float z) {
    if (x == 0.0f && y == 0.0f && z == 0.0f) {
        return {Vec3{}, true};
    }
    const Vec3 dir = makeVec3(x, y, z) * unitScale(x * x + y * y + z * z);
    return {dir, dir.x * dir.x + dir.y * dir.y + dir.z * dir.z > 1.0f};
}

namespace {

BounceTable buildBounceTable() {
    BounceTable table{};
    for (int index = 0; index < 1000; ++index) {
        const GridDirection g =
            normaliseGridPoint(gridCoordinate(index % 10), gridCoordinate(index / 10 % 10),
                               gridCoordinate(index / 100));
        table.dir[index] = g.dir;
        table.rejected[index] = g.rejected;
        table.acceptedBits[index / 32] |= g.rejected ? 0u : 1u << index % 32;
    }
    return table;
}

} // namespace

const BounceTable gBounceTable = buildBounceTable();
