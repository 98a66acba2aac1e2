// SPDX-License-Identifier: MIT
#pragma once

// For integer loops that the compiler vectorises (the draws' generation): on x86-64, built for
// the baseline set and again for AVX2, the one for the processor chosen when the program is
// loaded, so that the default build runs them as fast as one built for the machine. Integer
// arithmetic gives the same results in either. Elsewhere, or where the build already targets
// AVX2, compiled once, and so too where the compiler cannot link such a function under link-time
// optimisation (PATHTRACER_NO_CPU_CLONES, found by CMakeLists.txt).
#if defined(__x86_64__) && !defined(__AVX2__) && defined(__has_attribute) && \
    !defined(__SANITIZE_THREAD__) && !defined(PATHTRACER_NO_CPU_CLONES)
#if __has_attribute(target_clones)
#define PATHTRACER_CLONED_FOR_CPUS __attribute__((target_clones("default", "avx2")))
#endif
#endif
#ifndef PATHTRACER_CLONED_FOR_CPUS
#define PATHTRACER_CLONED_FOR_CPUS
#endif
