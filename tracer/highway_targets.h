// SPDX-License-Identifier: MIT
#pragma once

// The sets Highway may compile the fast tracer for, the same in every file that includes Highway
// (before it): the sets compiled (fast_paths.cpp) and the sets listed and chosen
// (instruction_sets.cpp) must agree, or a build for one processor (-march=native) lists a set
// that does not run, or does not compile at all.
//
// AVX3_DL adds nothing the search uses to AVX-512 (AVX3), and Highway 1.0.3 leaves it out of the
// sets it compiles for unless asked, though -march=native on a CPU that has it (Intel since Ice
// Lake, AMD since Zen 4) makes it the static set, which Highway then refuses to build. Scalable
// vectors (SVE, RISC-V V) are left out before Highway 1.2 (CMakeLists.txt).
#ifndef HWY_DISABLED_TARGETS
#ifdef PATHTRACER_NO_SCALABLE_VECTORS
#define HWY_DISABLED_TARGETS                                                                       \
    (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV | HWY_AVX3_DL)
#else
#define HWY_DISABLED_TARGETS HWY_AVX3_DL
#endif
#endif
