// SPDX-License-Identifier: MIT
#include "scene/scene.h"

#include <cstdlib>

#include "scene/random_source.h"

std::vector<Shape> shapes;

namespace {

Shape sphere(Vec3 centre, float radiusSq, Vec3 color) {
    Shape s;
    s.type = Sphere;
    s.pos = centre;
    s.radiusSq = radiusSq;
    s.color = color;
    return s;
}

Shape plane(Vec3 point, Vec3 color, Vec3 normal, Vec3 emission = Vec3{}) {
    Shape s;
    s.type = Plane;
    s.pos = point;
    s.color = color;
    s.normal = normal;
    s.emission = emission;
    return s;
}

Shape triangle(Vec3 color, Vec3 normal, Vec3 v0, Vec3 v1, Vec3 v2) {
    Shape s;
    s.type = Triangle;
    s.color = color;
    s.normal = normal;
    s.vert0 = v0;
    s.vert1 = v1;
    s.vert2 = v2;
    return s;
}

} // namespace

void initShapes() {
    const Vec3 grey = makeVec3(0.5f, 0.5f, 0.5f);
    const Vec3 red = makeVec3(1, 0, 0);
    const Vec3 green = makeVec3(0, 1, 0);
    const Vec3 blue = makeVec3(0, 0, 1);

    // Three spheres of radius sqrt(15): blue left, green nearer the eye, red right.
    shapes.push_back(sphere(makeVec3(-10, 0, 0), 15, blue));
    shapes.push_back(sphere(makeVec3(0, -0.5f, -10), 15, green));
    shapes.push_back(sphere(makeVec3(10, 0, 0), 15, red));

    // The room: grey floor (y = 5), the emitting ceiling (y = -5), red and green side walls,
    // white back wall.
    shapes.push_back(plane(makeVec3(0, 5, 0), grey, makeVec3(0, -1, 0)));
    shapes.push_back(plane(makeVec3(0, -5, 0), grey, makeVec3(0, 1, 0), makeVec3(1, 1, 1)));
    shapes.push_back(plane(makeVec3(-15, 0, 0), red, makeVec3(1, 0, 0)));
    shapes.push_back(plane(makeVec3(15, 0, 0), green, makeVec3(-1, 0, 0)));
    shapes.push_back(plane(makeVec3(0, 0, 10), makeVec3(1, 1, 1), makeVec3(0, 0, -1)));

    // A low box on the floor: blue top face at y = 3, red front face at z = -20.
    const Vec3 up = makeVec3(0, -1, 0);
    const Vec3 towardEye = makeVec3(0, 0, -1);
    shapes.push_back(
        triangle(blue, up, makeVec3(-5, 3, -5), makeVec3(5, 3, -20), makeVec3(5, 3, -5)));
    shapes.push_back(
        triangle(blue, up, makeVec3(-5, 3, -5), makeVec3(-5, 3, -20), makeVec3(5, 3, -20)));
    shapes.push_back(
        triangle(red, towardEye, makeVec3(-5, 3, -20), makeVec3(5, 5, -20), makeVec3(5, 3, -20)));
    shapes.push_back(
        triangle(red, towardEye, makeVec3(-5, 3, -20), makeVec3(-5, 5, -20), makeVec3(5, 5, -20)));

    // The tracer draws from gRandom, which yields the C library's rand() sequence; rand() itself
    // is seeded alike so that both agree.
    std::srand(1337);
    gRandom.reseed(1337);
}

void precalcFrame(const Vec3& eye) {
    for (Shape& s : shapes) {
        if (s.type == Plane) {
            s.planeDist = dot(s.pos - eye, s.normal);
        }
    }
}
