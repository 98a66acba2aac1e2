#pragma once

#include "scene/vec3.h"

// The unit direction from the eye through pixel (row, column). The eye looks along +z with a
// focal distance of 512 pixels; scene +y is shown toward the bottom of the window.
Vec3 primaryDirection(int row, int column);

// Traces one sample for every pixel of rows [first, end) and adds it into the accumulators.
void render(int first, int end);
