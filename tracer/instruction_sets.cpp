// SPDX-License-Identifier: MIT
// The choice of the fast tracer's instruction set: the sets this build has code for and this
// processor runs, and the one in use (Highway's choice, or the second build's).
#include "tracer/highway_targets.h" // before Highway

#include <hwy/highway.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tracer/fast_dispatch.h"
#include "tracer/fast_paths.h"

#ifdef PATHTRACER_HAS_EXTENDED
#include <sys/auxv.h>
#endif

#if defined(__i386__)
#include <errno.h> // program_invocation_short_name

namespace {
// 32-bit x86 is built for SSE2 arithmetic (CMakeLists.txt), which exact float results need: on a
// processor without it the first float operation would end the program with an illegal
// instruction. Say why instead, before anything else runs.
__attribute__((constructor(101))) void requireSse2() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("sse2")) {
        std::fprintf(stderr, "%s: this processor has no SSE2, which exact float arithmetic needs\n",
                     program_invocation_short_name);
        std::_Exit(1);
    }
}
} // namespace
#endif

#ifdef PATHTRACER_HAS_EXTENDED
namespace fast_extended {

// The processor has the unit this build is for.
bool extendedUnitPresent() {
#if defined(__riscv)
    return (getauxval(AT_HWCAP) & (1ul << ('V' - 'A'))) != 0;
#elif defined(__s390x__)
    return (getauxval(AT_HWCAP) & HWCAP_S390_VXRS_EXT) != 0;
#else
#error "no second build of the fast tracer for this architecture"
#endif
}

} // namespace fast_extended
#endif

namespace {

#ifdef PATHTRACER_HAS_EXTENDED
// Whether calls go to the second build: by default when the processor has its unit. Changed
// only between frames (useInstructionSet), as Highway's own choice is.
bool gExtended = fast_extended::extendedUnitPresent();
#endif

struct InstructionSets {
    std::vector<std::string> names;
    std::vector<std::int64_t> targets;
    int extended = -1; // the index of the second build's set, if the processor has it
};

// Taken once, before any set is chosen (choosing one hides the wider ones from Highway).
const InstructionSets& available() {
    static const InstructionSets sets = [] {
        InstructionSets s;
#ifdef PATHTRACER_HAS_EXTENDED
        if (fast_extended::extendedUnitPresent()) {
            s.extended = 0;
            s.names.push_back(hwy::TargetName(fast_extended::target()));
            s.targets.push_back(fast_extended::target());
        }
#endif
        for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
            s.names.push_back(hwy::TargetName(target));
            s.targets.push_back(target);
        }
        return s;
    }();
    return sets;
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

} // namespace

bool fast::extendedInUse() {
#ifdef PATHTRACER_HAS_EXTENDED
    return gExtended;
#else
    return false;
#endif
}

const std::vector<std::string>& instructionSets() {
    return available().names;
}

std::string instructionSet() {
    return hwy::TargetName(fast::target());
}

bool useInstructionSet(const std::string& name) {
    const InstructionSets& sets = available();
    if (name.empty()) {
#ifdef PATHTRACER_HAS_EXTENDED
        gExtended = sets.extended >= 0;
#endif
        hwy::DisableTargets(0);
        return true;
    }
    for (std::size_t i = 0; i < sets.names.size(); ++i) {
        if (sameName(name, sets.names[i])) {
#ifdef PATHTRACER_HAS_EXTENDED
            gExtended = static_cast<int>(i) == sets.extended;
            if (gExtended) {
                return true;
            }
#endif
            // Highway takes the best set it is not told to leave out: leave out every wider one
            // (a wider set has a lower bit).
            hwy::DisableTargets(sets.targets[i] - 1);
            return true;
        }
    }
    return false;
}
