#include "tracer/hemisphere.h"

#include <cstdlib>

#include "scene/shape.h"

GridDirection normaliseGridPoint(float x, float y, float z) {
    if (x == 0.0f && y == 0.0f && z == 0.0f) {
        return {Vec3{}, true};  // no direction at all
    }
    const Vec3 dir = makeVec3(x, y, z) * unitScale(x * x + y * y + z * z);
    // About one grid point in eight normalises to a squared length just above 1 in float.
    return {dir, dir.x * dir.x + dir.y * dir.y + dir.z * dir.z > 1.0f};
}

Vec3 randomRayInHemisphere(const Vec3& normal) {
    GridDirection g;
    do {
        const float z = gridCoordinate(std::rand());
        const float y = gridCoordinate(std::rand());
        const float x = gridCoordinate(std::rand());
        g = normaliseGridPoint(x, y, z);
    } while (g.rejected);
    const float sign = dot(normal, g.dir) < 0.0f ? -1.0f : 1.0f;
    return g.dir * sign;
}
