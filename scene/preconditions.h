// SPDX-License-Identifier: MIT
#pragma once

// What a function asks of its callers, beyond what its types say, checked in the builds that test
// (PATHTRACER_CHECKS: with the tests, the sanitizers and the fuzzers) and compiled away in the
// others, whose pictures and speed are those of the code without it. A broken one ends the
// program at once, naming the condition and where it was asked: a test or a fuzzer then reports
// the cause, not a wrong bit found later.
#if PATHTRACER_CHECKS
#define PATHTRACER_EXPECTS(condition)                                                              \
    ((condition) ? void(0) : ::preconditionBroken(#condition, __FILE__, __LINE__))
#else
#define PATHTRACER_EXPECTS(condition) void(0)
#endif

[[noreturn]] void preconditionBroken(const char* condition, const char* file, int line);
