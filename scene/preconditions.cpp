// SPDX-License-Identifier: MIT
#include "scene/preconditions.h"

#include <cstdio>
#include <cstdlib>

void preconditionBroken(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: precondition broken: %s\n", file, line, condition);
    std::abort();
}
