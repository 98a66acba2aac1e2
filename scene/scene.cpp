// SPDX-License-Identifier: MIT
#include "scene/scene.h"

#include <cstdlib>

#include "scene/random_source.h"

std::vector<Shape> shapes;

void initShapes() {
    const Vec3 grey = makeVec3(0.5f, 0.5f, 0.5f);
    const Vec3 red = makeVec3(1, 0, 0);
    const Vec3 green = makeVec3(0, 1, 0);
    const Vec3 blue = makeVec3(0, 0, 1);

    // Three spheres of radius sqrt(15): blue left, green nearer the eye, red right.
    shapes.push_back(makeSphere(makeVec3(-10, 0, 0), 15, blue));
    shapes.push_back(makeSphere(makeVec3(0, -0.5f, -10), 15, green));
    shapes.push_back(makeSphere(makeVec3(10, 0, 0), 15, red));

    // The room: grey floor (y = 5), the emitting ceiling (y = -5), red and green side walls,
    // white back wall.
    shapes.push_back(makePlane(makeVec3(0, 5, 0), makeVec3(0, -1, 0), grey));
    shapes.push_back(makePlane(makeVec3(0, -5, 0), makeVec3(0, 1, 0), grey, makeVec3(1, 1, 1)));
    shapes.push_back(makePlane(makeVec3(-15, 0, 0), makeVec3(1, 0, 0), red));
    shapes.push_back(makePlane(makeVec3(15, 0, 0), makeVec3(-1, 0, 0), green));
    shapes.push_back(makePlane(makeVec3(0, 0, 10), makeVec3(0, 0, -1), makeVec3(1, 1, 1)));

    // A low box on the floor: blue top face at y = 3, red front face at z = -20.
    const Vec3 up = makeVec3(0, -1, 0);
    const Vec3 towardEye = makeVec3(0, 0, -1);
    shapes.push_back(
        makeTriangle(up, makeVec3(-5, 3, -5), makeVec3(5, 3, -20), makeVec3(5, 3, -5), blue));
    shapes.push_back(
        makeTriangle(up, makeVec3(-5, 3, -5), makeVec3(-5, 3, -20), makeVec3(5, 3, -20), blue));
    shapes.push_back(makeTriangle(towardEye, makeVec3(-5, 3, -20), makeVec3(5, 5, -20),
                                  makeVec3(5, 3, -20), red));
    shapes.push_back(makeTriangle(towardEye, makeVec3(-5, 3, -20), makeVec3(-5, 5, -20),
                                  makeVec3(5, 5, -20), red));

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
