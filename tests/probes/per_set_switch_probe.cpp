// SPDX-License-Identifier: MIT
// Per-set code whose switch leaves out a kind's case, compiled through Highway's foreach_target.h
// with the tracer's include folders and flags: its build must fail on every set, as the tracer's
// would (the test per_set_code_warned). It is never part of a build that succeeds. The switch is
// compiled in the passes foreach_target.h makes, not in the file's own pass for the static set,
// whose warnings always show (but where that set is the only one).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tests/probes/per_set_switch_probe.cpp"
#include "tracer/highway_targets.h" // before Highway

#include <hwy/foreach_target.h> // must come before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace per_set_probe {
namespace HWY_NAMESPACE {

#if HWY_TARGET != HWY_STATIC_TARGET || HWY_TARGETS == HWY_STATIC_TARGET
enum class Kind { Handled, LeftOut };

int handled(Kind kind) {
    switch (kind) {
    case Kind::Handled:
        return 1;
    }
    return 0;
}
#endif

} // namespace HWY_NAMESPACE
} // namespace per_set_probe
HWY_AFTER_NAMESPACE();
