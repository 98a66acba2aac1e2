// SPDX-License-Identifier: MIT
// The fast tracer, compiled once per instruction set: Highway's foreach_target includes this file
// again for each set this build supports, and the functions below the per-set part choose one at
// run time (the widest this CPU has, or the one useInstructionSet names).
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

// AVX3_DL adds nothing the search uses to AVX-512 (AVX3), and a build for a CPU that has it
// (-march=native) would otherwise not compile: Highway 1.0.3 leaves it out of the sets it compiles
// for. Scalable vectors (SVE, RISC-V V) are left out before Highway 1.2 (CMakeLists.txt).
#ifndef HWY_DISABLED_TARGETS
#ifdef PATHTRACER_NO_SCALABLE_VECTORS
#define HWY_DISABLED_TARGETS                                                                       \
    (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128 | HWY_RVV | HWY_AVX3_DL)
#else
#define HWY_DISABLED_TARGETS HWY_AVX3_DL
#endif
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tracer/fast_paths.cpp"
#include <hwy/foreach_target.h> // must come before highway.h
#include <hwy/highway.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "scene/preconditions.h"
#include "scene/shape.h"
#include "tracer/bounce_table.h"
#include "tracer/closest_hit.h"
#include "tracer/draws.h"
#include "tracer/fast_paths.h"
#include "tracer/hemisphere.h"
#include "tracer/packed_scene.h"
#include "tracer/packed_search-inl.h"
#include "tracer/path_lanes.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {

// The surfaces a path has bounced off, and the light it reached.
struct Bounces {
    const Shape* off[kMaxDepth + 1];
    int count = 0;
    Vec3 light; // black unless the path reaches a light
};

// Takes a path's hit at `depth` (then counted one deeper): false when the path ends there, at a
// light (whose emission it takes) or past the depth limit.
HWY_INLINE bool goesOn(Bounces& path, const Shape* hit, int& depth) {
    if (isEmitter(*hit)) {
        path.light = hit->emission;
        return false;
    }
    path.off[path.count++] = hit;
    return ++depth <= kMaxDepth;
}

// Folds the colours and emissions of the surfaces a path bounced off, from the far end back, in
// the order the recursive form returns through them, onto the light the path reached.
HWY_INLINE Vec3 foldPath(const Bounces& path) {
    Vec3 light = path.light;
    for (int i = path.count; i > 0;) {
        const Shape* s = path.off[--i];
        light = makeVec3(s->color.x * light.x + s->emission.x, s->color.y * light.y + s->emission.y,
                         s->color.z * light.z + s->emission.z);
    }
    return light;
}

// The plain search over the scene's shapes, and the path walked with it: the whole tracer on a
// set without vectors, and elsewhere for rays and paths out of the packed search's range.
HWY_INLINE int plainSearch(const PackedScene& scene, const Vec3& origin, const Vec3& dir,
                           float& t) {
    const Shape* hit = findClosestShape(scene.shapes(), origin, dir, t, false);
    return hit == nullptr ? -1 : static_cast<int>(hit - scene.shapes().data());
}

HWY_INLINE Vec3 plainPath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    if (start.shape < 0 || depth > kMaxDepth) {
        return Vec3{};
    }
    Bounces path;
    const Shape* hit = &scene.shapes()[start.shape];
    Vec3 point = start.point;
    Vec3 normal = start.normal;
    for (;;) {
        // The bounce off each hit is drawn before the light test.
        const Vec3 next = randomRayInHemisphere(normal, draws);
        if (!goesOn(path, hit, depth)) {
            break;
        }
        ++segments;
        float t = 0.0f;
        const int index = plainSearch(scene, point, next, t);
        if (index < 0) {
            break;
        }
        hit = &scene.shapes()[index];
        const Vec3 from = point;
        hit->getCollisionInfo(from, next, t, point, normal);
    }
    return foldPath(path);
}

#if HWY_TARGET == HWY_SCALAR

int Lanes() {
    return 1;
}

HWY_INLINE int search(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    return plainSearch(scene, origin, dir, t);
}

HWY_INLINE Vec3 tracePath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    return plainPath(scene, start, depth, draws, segments);
}

#else

int Lanes() {
    return static_cast<int>(hn::Lanes(DF()));
}

HWY_INLINE Vec3 toVec3(XYZ v) {
    alignas(16) float xyzw[4];
    hn::Store(v, D3(), xyzw);
    return makeVec3(xyzw[0], xyzw[1], xyzw[2]);
}

HWY_INLINE int search(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    const XYZ o = lanesOf(origin), d = lanesOf(dir);
    if (!withinRange(o, kFarthestOrigin) || !withinRange(d, kFastestDirection)) {
        return plainSearch(scene, origin, dir, t);
    }
    float side = 0.0f;
    XYZ tLanes;
    return closestHit(scene, o, d, 0, d, t, side, tLanes);
}

// A path that starts far out, traced the plain way (kept out of the loop below).
HWY_NOINLINE Vec3 farPath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    return plainPath(scene, start, depth, draws, segments);
}

// Everything the path loop calls is inlined into it, the bounce search included, so that a hit's
// values go on to the next search in registers.
HWY_INLINE Vec3 tracePath(const PackedScene& scene, const PathStart& start, int depth,
                          DrawStream& draws, std::uint64_t& segments) {
    if (start.shape < 0 || depth > kMaxDepth) {
        return Vec3{};
    }
    // Each segment moves a point by less than kNoHit along each axis (the bounce directions are
    // unit vectors), so a path that starts within 2^63 keeps every origin of its searches within
    // kFarthestOrigin.
    if (HWY_UNLIKELY(!withinRange(lanesOf(start.point), 0x1p63f))) {
        return farPath(scene, start, depth, draws, segments);
    }
    // Walk forward remembering the surfaces bounced off, then fold their colours.
    Bounces path;
    // The point the path has reached, kept in one register: x, y, z and a lane no one reads.
    XYZ point = lanesOf(start.point);
    const Shape* hit = &scene.shapes()[start.shape];
    // The bounce off each hit is drawn before the light test. For planes and triangles its side
    // test (stored normal . drawn direction) comes out of the search that found the hit, so the
    // next direction is known as soon as the hit is.
    // A path takes at most one bounce per hit; having them all at hand keeps the call that
    // takes another run out of the loop (nothing need be saved around it).
    static_assert(kMaxDepth + 1 <= DrawStream::kMostReserved);
    draws.reserve(kMaxDepth + 1);
    const Vec3* drawn = &gBounceTable.dir[draws.nextReservedBounce()];
    float side = dot(start.normal, *drawn);
    const hn::RebindToUnsigned<D3> bits;
    for (;;) {
        const std::uint32_t flip = mirrorFlip(side);
        if (!goesOn(path, hit, depth)) {
            break;
        }
        ++segments;
        // The next bounce is looked at now but used up only if this ray hits something.
        const Vec3* nextDrawn = &gBounceTable.dir[draws.peekReservedBounce()];
        float t = 0.0f;
        XYZ tLanes;
        const XYZ drawnLanes = lanesOf(*drawn);
        const int index =
            closestHit(scene, point, drawnLanes, flip, lanesOf(*nextDrawn), t, side, tLanes);
        if (index < 0) {
            break;
        }
        draws.skipBounce();
        hit = &scene.shapes()[index];
        // The hit point as Shape::getCollisionInfo computes it, dir * t + origin, lane by lane.
        const XYZ from = point;
        const XYZ dir =
            hn::BitCast(D3(), hn::Xor(hn::BitCast(bits, drawnLanes), hn::Set(bits, flip)));
        point = hn::Add(hn::Mul(dir, tLanes), from);
        if (hit->type == Sphere) {
            Vec3 hitPoint;
            Vec3 normal;
            hit->getCollisionInfo(toVec3(from), toVec3(dir), t, hitPoint, normal);
            side = dot(normal, *nextDrawn);
        }
        drawn = nextDrawn;
    }
    return foldPath(path);
}

#endif // HWY_TARGET == HWY_SCALAR

// A scene packed for another number of lanes would be searched wrongly: stop instead.
HWY_INLINE void requirePackedForThisSet(const PackedScene& scene) {
    if (scene.lanes() != Lanes()) {
        std::fprintf(stderr,
                     "pathtracer: a scene packed for %d lanes was searched with %s, which takes "
                     "%d; pack it again after choosing the instruction set\n",
                     scene.lanes(), hwy::TargetName(HWY_TARGET), Lanes());
        std::abort();
    }
}

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#include "tracer/path_lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace PATHTRACER_FAST {
namespace HWY_NAMESPACE {

int ClosestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    requirePackedForThisSet(scene);
    return search(scene, origin, dir, t);
}

__attribute__((flatten)) Vec3 TracePathFromHit(const PackedScene& scene, const PathStart& start,
                                               int depth, DrawStream& draws,
                                               std::uint64_t& segments) {
    requirePackedForThisSet(scene);
    return tracePath(scene, start, depth, draws, segments);
}

// The paths of `count` first hits one after another, their colours added to `sums`; with
// kMayStop, only until a path cannot hold its bounces before the draws' stop. Returns the pixels
// traced.
template <bool kMayStop>
HWY_INLINE int accumulate(const PackedScene& scene, const PathStart* starts, int count,
                          DrawStream& draws, Vec3* sums, std::uint64_t& segments) {
    requirePackedForThisSet(scene);
    for (int i = 0; i < count; ++i) {
        // A path takes at most one bounce per hit (tracePath). Rarely are too few held: the
        // path then takes what it may before the stop, or none is traced.
        if (kMayStop && HWY_UNLIKELY(draws.heldCount() < kMaxDepth + 1) && starts[i].shape >= 0 &&
            !draws.tryReserve(kMaxDepth + 1)) {
            return i;
        }
        const Vec3 col = tracePath(scene, starts[i], 0, draws, segments);
        addClamped(sums[i], col.x, col.y, col.z);
    }
    return count;
}

__attribute__((flatten)) std::uint64_t AccumulatePaths(const PackedScene& scene,
                                                       const PathStart* starts, int count,
                                                       DrawStream& draws, Vec3* sums) {
    std::uint64_t segments = 0;
    accumulate<false>(scene, starts, count, draws, sums, segments);
    return segments;
}

__attribute__((flatten)) int AccumulatePathsUntilStop(const PackedScene& scene,
                                                      const PathStart* starts, int count,
                                                      DrawStream& draws, Vec3* sums,
                                                      std::uint64_t& segments) {
    // Counted in a local, which stays in a register (the caller's could be anything).
    std::uint64_t traced = 0;
    const int done = accumulate<true>(scene, starts, count, draws, sums, traced);
    segments += traced;
    return done;
}

std::int64_t Target() {
    return HWY_TARGET;
}

} // namespace HWY_NAMESPACE
} // namespace PATHTRACER_FAST
HWY_AFTER_NAMESPACE();

#if HWY_ONCE && defined(PATHTRACER_EXTENDED)

#include <sys/auxv.h>

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

std::int64_t target() {
    return HWY_STATIC_TARGET;
}
int lanes() {
    return HWY_STATIC_DISPATCH(Lanes)();
}
int closestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    return HWY_STATIC_DISPATCH(ClosestHit)(scene, origin, dir, t);
}
Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start, int depth,
                      DrawStream& draws, std::uint64_t& segments) {
    return HWY_STATIC_DISPATCH(TracePathFromHit)(scene, start, depth, draws, segments);
}
std::uint64_t accumulatePaths(const PackedScene& scene, const PathStart* starts, int count,
                              DrawStream& draws, Vec3* sums) {
    return HWY_STATIC_DISPATCH(AccumulatePaths)(scene, starts, count, draws, sums);
}
int pathLanes() {
    return HWY_STATIC_DISPATCH(PathLaneCount)();
}
int tracePathLanes(const PackedScene& scene, PathLanes& lanes) {
    return HWY_STATIC_DISPATCH(TracePathLanes)(scene, lanes);
}
int accumulatePathsUntilStop(const PackedScene& scene, const PathStart* starts, int count,
                             DrawStream& draws, Vec3* sums, std::uint64_t& segments) {
    return HWY_STATIC_DISPATCH(AccumulatePathsUntilStop)(scene, starts, count, draws, sums,
                                                         segments);
}

} // namespace fast_extended

#elif HWY_ONCE


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
// The second build, for the vector unit the baseline lacks (see the top of this file).
namespace fast_extended {
bool extendedUnitPresent();
std::int64_t target();
int lanes();
int closestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t);
Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start, int depth,
                      DrawStream& draws, std::uint64_t& segments);
std::uint64_t accumulatePaths(const PackedScene& scene, const PathStart* starts, int count,
                              DrawStream& draws, Vec3* sums);
int accumulatePathsUntilStop(const PackedScene& scene, const PathStart* starts, int count,
                             DrawStream& draws, Vec3* sums, std::uint64_t& segments);
int pathLanes();
int tracePathLanes(const PackedScene& scene, PathLanes& lanes);
} // namespace fast_extended
#endif

namespace fast {

HWY_EXPORT(Lanes);
HWY_EXPORT(ClosestHit);
HWY_EXPORT(TracePathFromHit);
HWY_EXPORT(AccumulatePaths);
HWY_EXPORT(AccumulatePathsUntilStop);
HWY_EXPORT(Target);
HWY_EXPORT(PathLaneCount);
HWY_EXPORT(TracePathLanes);

namespace {

// Whether calls go to the second build: by default when the processor has its unit. Changed
// only between frames (useInstructionSet), as Highway's own choice is.
#ifdef PATHTRACER_HAS_EXTENDED
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

#ifdef PATHTRACER_HAS_EXTENDED
#define PATHTRACER_DISPATCH(Function, name)                                                        \
    (gExtended ? fast_extended::name : HWY_DYNAMIC_DISPATCH(Function))
#else
#define PATHTRACER_DISPATCH(Function, name) HWY_DYNAMIC_DISPATCH(Function)
#endif

int lanes() {
    return PATHTRACER_DISPATCH(Lanes, lanes)();
}
int closestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    return PATHTRACER_DISPATCH(ClosestHit, closestHit)(scene, origin, dir, t);
}
Vec3 tracePathFromHit(const PackedScene& scene, const PathStart& start, int depth,
                      DrawStream& draws, std::uint64_t& segments) {
    return PATHTRACER_DISPATCH(TracePathFromHit, tracePathFromHit)(scene, start, depth, draws,
                                                                  segments);
}
std::uint64_t accumulatePaths(const PackedScene& scene, const PathStart* starts, int count,
                              DrawStream& draws, Vec3* sums) {
    return PATHTRACER_DISPATCH(AccumulatePaths, accumulatePaths)(scene, starts, count, draws, sums);
}
int accumulatePathsUntilStop(const PackedScene& scene, const PathStart* starts, int count,
                             DrawStream& draws, Vec3* sums, std::uint64_t& segments) {
    return PATHTRACER_DISPATCH(AccumulatePathsUntilStop, accumulatePathsUntilStop)(
        scene, starts, count, draws, sums, segments);
}
std::int64_t target() {
    return PATHTRACER_DISPATCH(Target, target)();
}
int pathLanes() {
    return PATHTRACER_DISPATCH(PathLaneCount, pathLanes)();
}
int tracePathLanes(const PackedScene& scene, PathLanes& lanes) {
    PATHTRACER_EXPECTS(scene.tracesInLanes());
    return PATHTRACER_DISPATCH(TracePathLanes, tracePathLanes)(scene, lanes);
}

} // namespace fast

int closestHit(const PackedScene& scene, const Vec3& origin, const Vec3& dir, float& t) {
    return fast::closestHit(scene, origin, dir, t);
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

int packedLanes() {
    return fast::lanes();
}

int pathLanes() {
    return fast::pathLanes();
}

int tracePathLanes(const PackedScene& scene, PathLanes& lanes) {
    return fast::tracePathLanes(scene, lanes);
}

const std::vector<std::string>& instructionSets() {
    return fast::available().names;
}

std::string instructionSet() {
    return hwy::TargetName(fast::target());
}

bool useInstructionSet(const std::string& name) {
    const fast::InstructionSets& sets = fast::available();
    if (name.empty()) {
#ifdef PATHTRACER_HAS_EXTENDED
        fast::gExtended = sets.extended >= 0;
#endif
        hwy::DisableTargets(0);
        return true;
    }
    for (std::size_t i = 0; i < sets.names.size(); ++i) {
        if (fast::sameName(name, sets.names[i])) {
#ifdef PATHTRACER_HAS_EXTENDED
            fast::gExtended = static_cast<int>(i) == sets.extended;
            if (fast::gExtended) {
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

#endif // HWY_ONCE
