// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Between the fast tracer's entry points (fast_paths.cpp), which send each call to the set in
// use, and the choice of that set (instruction_sets.cpp).
namespace fast {
// The set in use, as Highway numbers its targets.
std::int64_t target();
// Whether calls go to the second build, for the vector unit the baseline lacks (see the top of
// fast_paths.cpp).
bool extendedInUse();
} // namespace fast

#ifdef PATHTRACER_HAS_EXTENDED
namespace fast_extended {
// Whether the processor has the unit the second build is for.
bool extendedUnitPresent();
std::int64_t target();
} // namespace fast_extended
#endif
