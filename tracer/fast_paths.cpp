// SPDX-License-Identifier: MIT
// The fast tracer's entry points, compiled once per instruction set: Highway's foreach_target
// includes this file again for each set this build supports, and each call goes to the set in
// use (the widest this CPU has, or the one useInstructionSet names: instruction_sets.cpp). The
// path loop is path_loop-inl.h, the paths side by side path_lanes-inl.h.
//
// A new entry point is written in four places: its function for each set below; its line in
// PATHTRACER_FAST_ENTRIES, from which its dispatch (namespace fast) and the second build's
// entry (namespace fast_extended) are made; its declaration in fast_paths.h; and the function
// of that declaration at the end of this file, which hands the call to namespace fast.
//
// Where an architecture's baseline lacks the vector unit that most of its processors have (RISC-V
// V on riscv64, the z14 vector facility on s390x), Highway offers its code only to a build for
// it. There this file is also compiled a second time, for that unit alone (PATHTRACER_EXTENDED,
// with the compiler flags of CMakeLists.txt), into namespace fast_extended; the plain build's
// functions hand every call to it while it is the set in use, which it is by default when the
// processor has the unit (extendedUnitPresent, from the kernel's hardware capabilities).
#ifdef PATHTRACER_EXTENDED
#define PATHTRACER_FAST fast_extended
#define HWY_COMPILE_ONLY_STATIC 1
#else
#define PATHTRACER_FAST fast
#endif

#include "tracer/highway_targets.h" // before Highway

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tracer/fast_paths.cpp"
#include <hwy/foreach_target.h> // must come before highway.h
#include <hwy/highway.h>

#include <cstdint>
#include <type_traits>

#include "scene/preconditions.h"
#include "tracer/fast_dispatch.h"
#include "tracer/fast_paths.h"
#include "tracer/path_lanes-inl.h"
#include "tracer/path_loop-inl.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {

int PackedClosestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    requirePackedForThisSet(scene);
    return search(scene, origin, dir, t);
}

// Calls `trace` with the groups a search of `scene` takes, as a type (std::integral_constant):
// a scene whose shapes all lie in the first group of their kind is searched without loops. Every
// entry point that traces paths comes through here, so the scene's packing is checked here too.
template <typename Trace> HWY_INLINE auto withGroupsOf(const PackedScene& scene, Trace trace) {
    requirePackedForThisSet(scene);
    return scene.inFirstGroups() ? trace(std::integral_constant<Groups, Groups::kFirstOnly>())
                                 : trace(std::integral_constant<Groups, Groups::kEvery>());
}

__attribute__((flatten)) Vec3 TracePathFromHit(const PackedScene& scene, const PathStart& start,
                                               int depth, DrawStream& draws,
                                               std::uint64_t& segments) {
    return withGroupsOf(scene, [&](auto groups) {
        return tracePath<groups()>(scene, start, depth, draws, segments);
    });
}

// The paths of `count` first hits one after another, their colours added to `sums`; with
// kMayStop, only until a path cannot hold its bounces before the draws' stop. Returns the pixels
// traced.
template <bool kMayStop, Groups kGroups>
HWY_INLINE int accumulate(const PackedScene& scene, const PathStart* starts, int count,
                          DrawStream& draws, Vec3* sums, std::uint64_t& segments) {
    for (int i = 0; i < count; ++i) {
        // A path takes at most one bounce per hit (tracePath). Rarely are too few held: the
        // path then takes what it may before the stop, or none is traced.
        if (kMayStop && HWY_UNLIKELY(draws.heldCount() < kMaxDepth + 1) && starts[i].shape >= 0 &&
            !draws.tryReserve(kMaxDepth + 1)) {
            return i;
        }
        const Vec3 col = tracePath<kGroups>(scene, starts[i], 0, draws, segments);
        addClamped(sums[i], col.x, col.y, col.z);
    }
    return count;
}

__attribute__((flatten)) std::uint64_t AccumulatePaths(const PackedScene& scene,
                                                       const PathStart* starts, int count,
                                                       DrawStream& draws, Vec3* sums) {
    std::uint64_t segments = 0;
    withGroupsOf(scene, [&](auto groups) {
        return accumulate<false, groups()>(scene, starts, count, draws, sums, segments);
    });
    return segments;
}

__attribute__((flatten)) int AccumulatePathsUntilStop(const PackedScene& scene,
                                                      const PathStart* starts, int count,
                                                      DrawStream& draws, Vec3* sums,
                                                      std::uint64_t& segments) {
    // Counted in a local, which stays in a register (the caller's could be anything).
    std::uint64_t traced = 0;
    const int done = withGroupsOf(scene, [&](auto groups) {
        return accumulate<true, groups()>(scene, starts, count, draws, sums, traced);
    });
    segments += traced;
    return done;
}

std::int64_t Target() {
    return HWY_TARGET;
}

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

// Every entry point: ENTRY(its result, its name in each set, its name outside, its parameters,
// its arguments).
#define PATHTRACER_FAST_ENTRIES(ENTRY)                                                             \
    ENTRY(int, PackedLaneCount, packedLaneCount, (), ())                                           \
    ENTRY(std::int64_t, Target, target, (), ())                                                    \
    ENTRY(int, PackedClosestHit, packedClosestHit,                                                 \
          (const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t),               \
          (scene, origin, dir, t))                                                                 \
    ENTRY(Vec3, TracePathFromHit, tracePathFromHit,                                                \
          (const PackedScene& scene, const PathStart& start, int depth, DrawStream& draws,         \
           std::uint64_t& segments),                                                               \
          (scene, start, depth, draws, segments))                                                  \
    ENTRY(std::uint64_t, AccumulatePaths, accumulatePaths,                                         \
          (const PackedScene& scene, const PathStart* starts, int count, DrawStream& draws,        \
           Vec3* sums),                                                                            \
          (scene, starts, count, draws, sums))                                                     \
    ENTRY(int, AccumulatePathsUntilStop, accumulatePathsUntilStop,                                 \
          (const PackedScene& scene, const PathStart* starts, int count, DrawStream& draws,        \
           Vec3* sums, std::uint64_t& segments),                                                   \
          (scene, starts, count, draws, sums, segments))                                           \
    ENTRY(int, PathLaneCount, pathLaneCount, (), ())                                               \
    ENTRY(int, TracePathLanes, tracePathLanes, (const PackedScene& scene, PathLanes& lanes),       \
          (scene, lanes))

#ifdef PATHTRACER_EXTENDED

// The second build: each entry point of the one set it is compiled for.
namespace fast_extended {
#define PATHTRACER_STATIC_ENTRY(Result, Function, name, parameters, arguments)                     \
    Result name parameters {                                                                       \
        return HWY_STATIC_DISPATCH(Function) arguments;                                            \
    }
PATHTRACER_FAST_ENTRIES(PATHTRACER_STATIC_ENTRY)
} // namespace fast_extended

#else

#ifdef PATHTRACER_HAS_EXTENDED
namespace fast_extended {
#define PATHTRACER_DECLARE_ENTRY(Result, Function, name, parameters, arguments)                    \
    Result name parameters;
PATHTRACER_FAST_ENTRIES(PATHTRACER_DECLARE_ENTRY)
} // namespace fast_extended
// A call goes to the second build while its set is in use.
#define PATHTRACER_DISPATCH(Function, name)                                                        \
    (fast::extendedInUse() ? fast_extended::name : HWY_DYNAMIC_DISPATCH(Function))
#else
#define PATHTRACER_DISPATCH(Function, name) HWY_DYNAMIC_DISPATCH(Function)
#endif

// Each entry point of the set in use.
namespace fast {
#define PATHTRACER_EXPORT_ENTRY(Result, Function, name, parameters, arguments)                     \
    HWY_EXPORT(Function);                                                                          \
    Result name parameters {                                                                       \
        return PATHTRACER_DISPATCH(Function, name) arguments;                                      \
    }
PATHTRACER_FAST_ENTRIES(PATHTRACER_EXPORT_ENTRY)
} // namespace fast

int packedClosestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    return fast::packedClosestHit(scene, origin, dir, t);
}

Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start, int depth,
                      DrawStream& draws, std::uint64_t& segments) {
    return fast::tracePathFromHit(scene, start, depth, draws, segments);
}

std::uint64_t accumulatePaths(const PackedScene& scene, const PathStart* starts, int count,
                              DrawStream& draws, Vec3* sums) {
    return fast::accumulatePaths(scene, starts, count, draws, sums);
}

int accumulatePathsUntilStop(const PackedScene& scene, const PathStart* starts, int count,
                             DrawStream& draws, Vec3* sums, std::uint64_t& segments) {
    return fast::accumulatePathsUntilStop(scene, starts, count, draws, sums, segments);
}

int packedLaneCount() {
    return fast::packedLaneCount();
}

int pathLaneCount() {
    return fast::pathLaneCount();
}

int tracePathLanes(const PackedScene& scene, PathLanes& lanes) {
    PATHTRACER_EXPECTS(scene.tracesInLanes());
    return fast::tracePathLanes(scene, lanes);
}

#endif // PATHTRACER_EXTENDED

#endif // HWY_ONCE
