// SPDX-License-Identifier: MIT
// Differential fuzzer: the packed search and the path loop against the plain search and the
// recursive tracer, on every instruction set this build has and this CPU runs.
//
// Each input is decoded into a scene (up to hundreds of shapes of each kind, unknown kinds
// included, each at a scale of its own, with coordinates that may be any float: huge, tiny,
// subnormal, infinite or NaN) and a few rays (origin, direction, whether it starts at the eye,
// and a depth). For each ray and each set:
// - packedClosestHit gives the shape and the distance bits findClosestShape gives;
// - tracePathFromHit, started from the plain first hit, gives pathTraceRay's colour bits (any
//   NaN for a NaN: see sameValue), its draws ending at the same position of the sequence.
// Then the rays are traced as a two-worker frame shares its work (frame_plan.h): a first part,
// two later parts (the first from a position of the sequence the input gives, the next the room
// it gives after the first's end), and a "top band" that stops before each later part's values
// and goes on after them; traced again with the plain tracer and the values each band used, they
// give the same colours.
// Then the rays' paths from their first hits are traced side by side (path_lanes.h), in three
// chains with draws of their own, in the scene with its colours made exact factors (the scenes
// traced so): they give the sums and take the draws the path loop gives them, one chain after
// another.
// A mismatch prints the case and aborts, which libFuzzer keeps as a crash input.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "../unit/chains_check.h"
#include "../unit/test_support.h"
#include "frame/frame_plan.h"
#include "scene/scene.h"
#include "scene/shape.h"
#include "scene/random_source.h"
#include "tracer/bounce_table.h"
#include "tracer/plain_search.h"
#include "tracer/draws.h"
#include "tracer/fast_paths.h"
#include "tracer/packed_scene.h"
#include "tracer/path_lanes.h"
#include "tracer/path_tracer.h"

namespace {

// Inputs give up to 40 shapes, then their own scales, then up to 260 more shapes (so inputs made
// before there were more keep their meaning).
constexpr int kFirstShapes = 40;
constexpr int kMoreShapes = 260;
constexpr int kMostRays = 12;

std::uint32_t bitsOf(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

float fromBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Values that sit at the edges of float arithmetic or of the search's own thresholds.
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kMin = std::numeric_limits<float>::min();
constexpr float kTiny = std::numeric_limits<float>::denorm_min();
const float kEdgeValues[] = {
    0.0f,  -0.0f, 1.0f,  -1.0f, 0.5f,  2.0f,  0.003f,   0.0029f,  1e6f,     -1e6f,    kInf,
    -kInf, kNaN,  -kNaN, kMax,  -kMax, kMin,  kTiny,    -kTiny,   1e-25f,   1e-20f,   3e9f,
    1e10f, 2e10f, 1e19f, 1e20f, 1e25f, 1e30f, 0x1p100f, 0x1p102f, 0x1p104f, 0x1p126f, -1e10f};

// Scales the whole scene's geometry is multiplied by: overflow and underflow in the products of
// the intersection tests begin at different scales for each kind.
const float kScales[] = {1.0f, 1.0f,  1.0f,  1.0f,  1e-25f, 1e-12f, 1e-3f, 1e3f,
                         3e9f, 1e10f, 1e11f, 1e15f, 1e19f,  1e25f,  1e35f};

class Decoder {
  public:
    explicit Decoder(FuzzedDataProvider& in) : in_(in) {}

    // Mostly small numbers on a fine grid (so that shapes meet rays), else any bit pattern or an
    // edge value.
    float value() {
        switch (in_.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return fromBits(in_.ConsumeIntegral<std::uint32_t>());
        case 1:
            return in_.PickValueInArray(kEdgeValues);
        case 2:
            return static_cast<float>(in_.ConsumeIntegral<std::int16_t>()) / 4096.0f;
        default:
            return static_cast<float>(in_.ConsumeIntegral<std::int8_t>()) / 8.0f;
        }
    }

    Vec3 vector() { return makeVec3(value(), value(), value()); }

    Vec3 point(float scale) {
        const Vec3 p = vector();
        return scale == 1.0f ? p : p * scale;
    }

    // A unit vector along an axis (as most of a room's normals are), a normalised one, or any.
    Vec3 normal() {
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
        case 1: {
            float c[3] = {0.0f, 0.0f, 0.0f};
            const int axis = in_.ConsumeIntegralInRange<int>(0, 2);
            c[axis] = in_.ConsumeBool() ? 1.0f : -1.0f;
            // Sometimes a signed zero elsewhere.
            if (in_.ConsumeIntegralInRange<int>(0, 3) == 0) {
                c[(axis + 1) % 3] = -0.0f;
            }
            return makeVec3(c[0], c[1], c[2]);
        }
        case 2: {
            const Vec3 v = vector();
            return v * unitScale(dot(v, v));
        }
        default:
            return vector();
        }
    }

    // A bounce direction from the table, mirrored or not, or a normalised or any vector.
    Vec3 direction() {
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
        case 1: {
            const Vec3 d = gBounceTable.dir[in_.ConsumeIntegralInRange<int>(0, 999)];
            return in_.ConsumeBool() ? d : d * -1.0f;
        }
        case 2: {
            const Vec3 v = vector();
            return v * unitScale(dot(v, v));
        }
        default:
            return vector();
        }
    }

    Vec3 colour() {
        return in_.ConsumeIntegralInRange<int>(0, 3) == 0 ? vector()
                                                          : makeVec3(unit(), unit(), unit());
    }

    Shape shape(float scale) {
        Shape s;
        const int kind = in_.ConsumeIntegralInRange<int>(0, 12);
        s.type = kind < 4 ? Sphere : kind < 8 ? Plane : kind < 12 ? Triangle : ShapeType(kind);
        s.color = colour();
        if (in_.ConsumeIntegralInRange<int>(0, 4) == 0) {
            s.emission = colour();
        }
        switch (s.type) {
        case Sphere: {
            s.pos = point(scale);
            const float r = value();
            s.radiusSq = in_.ConsumeBool() ? r : r * r * scale * scale;
            break;
        }
        case Plane:
            s.pos = point(scale);
            s.normal = normal();
            break;
        default:
            s.vert0 = point(scale);
            s.vert1 = point(scale);
            s.vert2 = point(scale);
            // Often in a plane through vert0 along an axis, as a box's faces are.
            if (in_.ConsumeBool()) {
                const int axis = in_.ConsumeIntegralInRange<int>(0, 2);
                float* c1 = &s.vert1.x;
                float* c2 = &s.vert2.x;
                c1[axis] = c2[axis] = (&s.vert0.x)[axis];
            }
            s.normal = normal();
            // Any other field set too (an unknown kind reads none).
            if (in_.ConsumeIntegralInRange<int>(0, 7) == 0) {
                s.pos = point(scale);
                s.radiusSq = value();
            }
            break;
        }
        return s;
    }

    struct Ray {
        Vec3 origin;
        Vec3 dir;
        bool fromEye;
        int depth;
    };

    Ray ray(float scale) {
        Ray r;
        r.origin = point(scale);
        r.dir = direction();
        r.fromEye = in_.ConsumeBool();
        r.depth = r.fromEye ? 0 : in_.ConsumeIntegralInRange<int>(1, kMaxDepth + 1);
        return r;
    }

    int count(int most) { return in_.ConsumeIntegralInRange<int>(0, most); }
    unsigned seed() { return in_.ConsumeIntegral<unsigned>(); }
    float scale() { return in_.PickValueInArray(kScales); }
    // A shape's or ray's own scale, or the input's: a huge triangle beside a unit-sized ray.
    float scaleOr(float common) { return in_.ConsumeBool() ? scale() : common; }
    std::uint64_t position() {
        return 3 * std::uint64_t{in_.ConsumeIntegralInRange<std::uint32_t>(0, 600)};
    }
    bool empty() const { return in_.remaining_bytes() == 0; }

  private:
    float unit() { return static_cast<float>(in_.ConsumeIntegralInRange<int>(0, 16)) / 16.0f; }

    FuzzedDataProvider& in_;
};

void print(const char* label, const Vec3& v) {
    std::fprintf(stderr, "%s (%a, %a, %a)\n", label, v.x, v.y, v.z);
}

void printScene(const std::vector<Shape>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Shape& s = list[i];
        std::fprintf(stderr, "shape %zu: type %d radiusSq %a\n", i, static_cast<int>(s.type),
                     s.radiusSq);
        print("  pos", s.pos);
        print("  normal", s.normal);
        print("  vert0", s.vert0);
        print("  vert1", s.vert1);
        print("  vert2", s.vert2);
        print("  color", s.color);
        print("  emission", s.emission);
    }
}

[[noreturn]] void mismatch(const std::string& what, const Decoder::Ray& ray) {
    std::fprintf(stderr, "\nMISMATCH on %s: %s\n", instructionSet().c_str(), what.c_str());
    print("origin", ray.origin);
    print("dir", ray.dir);
    std::fprintf(stderr, "fromEye %d depth %d\n", ray.fromEye, ray.depth);
    printScene(shapes);
    std::abort();
}

// The same bits, or both NaN: which NaN a product of two NaNs gives (its sign and payload) is
// left open by IEEE 754, and compilers may swap the operands of a multiplication, so a colour
// folded from a NaN colour and a NaN emission can come out as NaN or -NaN. A frame adds
// min(1, NaN), which is 1, for either: the picture is the same.
bool sameValue(float a, float b) {
    return bitsOf(a) == bitsOf(b) || (std::isnan(a) && std::isnan(b));
}
bool sameBits(const Vec3& a, const Vec3& b) {
    return sameValue(a.x, b.x) && sameValue(a.y, b.y) && sameValue(a.z, b.z);
}

RandomSource plainSource;
RandomSource fastSource;

void checkSearch(const PackedScene& packed, const Decoder::Ray& ray) {
    float plainT = 0.0f;
    const Shape* plain = findClosestShape(shapes, ray.origin, ray.dir, plainT, false);
    const int expected = plain == nullptr ? -1 : static_cast<int>(plain - shapes.data());
    float fastT = 0.0f;
    const int got = packedClosestHit(packed, ray.origin, ray.dir, fastT);
    if (got != expected || bitsOf(fastT) != bitsOf(plainT)) {
        char text[160];
        std::snprintf(text, sizeof text, "search: plain shape %d at %a, packed shape %d at %a",
                      expected, plainT, got, fastT);
        mismatch(text, ray);
    }
}

// Moves a shape's points `factor` times as far from the origin (a sphere's radius too).
void scaleShape(Shape& shape, float factor) {
    if (factor != 1.0f) {
        shape.pos = shape.pos * factor;
        shape.vert0 = shape.vert0 * factor;
        shape.vert1 = shape.vert1 * factor;
        shape.vert2 = shape.vert2 * factor;
        shape.radiusSq = shape.radiusSq * factor * factor;
    }
}

// The first hit of a ray, found the plain way as the frame code does.
PathStart firstHit(const Decoder::Ray& ray) {
    if (ray.fromEye) {
        precalcFrame(ray.origin);
    }
    PathStart start;
    float t = 0.0f;
    const Shape* hit = ray.depth > kMaxDepth
                           ? nullptr
                           : findClosestShape(shapes, ray.origin, ray.dir, t, ray.fromEye);
    start.shape = hit == nullptr ? -1 : static_cast<int>(hit - shapes.data());
    if (hit != nullptr) {
        hit->getCollisionInfo(ray.origin, ray.dir, t, start.point, start.normal);
    }
    return start;
}

void expectSameColour(const Vec3& got, const Vec3& expected, const char* what,
                      const Decoder::Ray& ray) {
    if (!sameBits(got, expected)) {
        char text[240];
        std::snprintf(text, sizeof text, "%s: recursive (%a, %a, %a), loop (%a, %a, %a)", what,
                      expected.x, expected.y, expected.z, got.x, got.y, got.z);
        mismatch(text, ray);
    }
}

void checkPath(const PackedScene& packed, const Decoder::Ray& ray, DrawStream& plainDraws,
               DrawStream& fastDraws) {
    const PathStart start = firstHit(ray);
    const Vec3 expected = pathTraceRay(ray.origin, ray.dir, ray.depth, plainDraws);
    std::uint64_t segments = 0;
    const Vec3 got = tracePathFromHit(packed, start, ray.depth, fastDraws, segments);
    expectSameColour(got, expected, "path colour", ray);
    if (plainDraws.usedEnd() != fastDraws.usedEnd()) {
        char text[160];
        std::snprintf(text, sizeof text, "path draws: recursive ended at value %llu, loop at %llu",
                      static_cast<unsigned long long>(plainDraws.usedEnd()),
                      static_cast<unsigned long long>(fastDraws.usedEnd()));
        mismatch(text, ray);
    }
}

RandomSource firstSource;
RandomSource secondSource;

// The rays [first, end) traced by the plain tracer with exactly the bounces a band used, against
// the colours the loop gave.
void replayBand(const std::vector<Decoder::Ray>& rays, std::size_t first, std::size_t end,
                const std::vector<Vec3>& colours, const RandomSequence::State& origin,
                const std::vector<DrawStretch>& stretches) {
    ReplayDraws replay(bouncesOf(origin, stretches));
    for (std::size_t i = first; i < end; ++i) {
        const Decoder::Ray& ray = rays[i];
        firstHit(ray); // the eye's plane distances, as the loop had them
        const Vec3 expected = pathTraceRay(ray.origin, ray.dir, ray.depth, replay.draws());
        expectSameColour(colours[i], expected, "split replay colour", ray);
    }
    if (!replay.usedAll() || !replay.tookNoMore()) {
        mismatch("split replay: a band used other bounces than the values it was given", rays[0]);
    }
}

// Later parts traced before the top band reaches them, as if the other thread were done first.
struct LaterParts {
    FramePlan plan;
    PartEnds ends;
    std::array<RandomSequence::State, 2> after{};
    bool firstPartRanOn = false;
};

// Where the top band's draws stand at their stop: goes on after the part that starts there, and
// stops at the next part's start if its values are still free.
void goOnAfterPart(LaterParts& later, DrawStream& top) {
    const int index = later.ends.passed++;
    top.goOnAt(later.ends.later[index], later.after[index]);
    const bool nextFree = later.ends.passed < later.plan.parts &&
                          later.ends.later[index] <= later.plan.starts[later.ends.passed];
    top.stopAt(nextFree ? later.plan.starts[later.ends.passed] : DrawStream::kNoStop);
}

// The rays as a two-worker frame's parts: [0, a) the first part, [a, m) and [m, b) two later
// parts, the first from position `second` and the next `room` values after its end, [b, n) the
// top band.
void checkSplit(const PackedScene& packed, const std::vector<Decoder::Ray>& rays, std::size_t a,
                std::size_t b, std::uint64_t second, std::uint64_t room, unsigned seed) {
    firstSource.reseed(seed);
    const RandomSequence::State origin = firstSource.state();
    static DrawStream firstDraws(firstSource);
    static DrawStream partDraws(secondSource);
    std::vector<Vec3> colours(rays.size());
    std::uint64_t segments = 0;
    // At a stop, atStop moves the draws on; a ray with no hit draws nothing.
    const auto traceUntilStops = [&](std::size_t from, std::size_t to, DrawStream& draws,
                                     auto atStop) {
        for (std::size_t i = from; i < to; ++i) {
            const PathStart start = firstHit(rays[i]);
            while (start.shape >= 0 && rays[i].depth <= kMaxDepth &&
                   !draws.tryReserve(kMaxDepth + 1)) {
                atStop();
            }
            colours[i] = tracePathFromHit(packed, start, rays[i].depth, draws, segments);
        }
    };
    const auto trace = [&](std::size_t from, std::size_t to, DrawStream& draws) {
        traceUntilStops(from, to, draws, [] {});
    };
    const std::size_t m = a + (b - a) / 2;
    LaterParts later;
    later.plan = twoPartPlan(0, second);
    later.plan.parts = 2;
    later.plan.rows[2] = 0;
    partDraws.startAt(origin, second);
    trace(a, m, partDraws);
    later.ends.later[0] = partDraws.usedEnd();
    later.after[0] = partDraws.stateAtUsedEnd();
    later.plan.starts[1] = partDraws.usedEnd() + room;
    partDraws.moveTo(later.plan.starts[1]);
    trace(m, b, partDraws);
    later.ends.later[1] = partDraws.usedEnd();
    later.after[1] = partDraws.stateAtUsedEnd();

    firstDraws.startAt(origin, 0);
    firstDraws.stopAt(second);
    traceUntilStops(0, a, firstDraws, [&] {
        later.firstPartRanOn = true;
        firstDraws.stopAt(DrawStream::kNoStop);
    });
    later.ends.firstPart = firstDraws.usedEnd();
    traceUntilStops(b, rays.size(), firstDraws, [&] { goOnAfterPart(later, firstDraws); });
    later.ends.top = firstDraws.usedEnd();

    std::vector<DrawStretch> top;
    std::vector<DrawStretch> bottom;
    // Later parts the frame does not keep are traced again; the others stand.
    const std::size_t keptEnd[] = {a, m, b};
    replayBand(rays, 0, keptEnd[bandStretches(later.plan, later.ends, top, bottom)], colours,
               origin, bottom);
    replayBand(rays, b, rays.size(), colours, origin, top);
}

// A scene with the geometry of `shapes` whose colour products are exact in any order: each
// colour component one of 0, 1/4, 1/2 and 1 (by its bits), each light's emission one of 0, 3/4,
// 1 and 2, no emission elsewhere.
std::vector<Shape> withExactColours() {
    std::vector<Shape> exact = shapes;
    const auto pick = [](float f, const float(&values)[4]) { return values[bitsOf(f) & 3]; };
    for (Shape& s : exact) {
        const float colours[4] = {0.0f, 0.25f, 0.5f, 1.0f};
        const float lights[4] = {0.0f, 0.75f, 1.0f, 2.0f};
        const bool light = isEmitter(s);
        s.color =
            makeVec3(pick(s.color.x, colours), pick(s.color.y, colours), pick(s.color.z, colours));
        s.emission = light ? makeVec3(pick(s.emission.x, lights), pick(s.emission.y, lights),
                                      pick(s.emission.z, lights))
                           : Vec3{};
    }
    return exact;
}

void checkSideBySide(const std::vector<Decoder::Ray>& rays, unsigned seed) {
    PackedScene packed;
    packed.build(withExactColours());
    if (!packed.tracesInLanes()) {
        return; // no shapes
    }
    std::vector<PathStart> starts;
    for (const Decoder::Ray& ray : rays) {
        starts.push_back(firstHit(ray));
    }
    // Three chains of the rays' first hits, each with draws from a position of its own.
    constexpr int kChains = 3;
    const std::size_t n = starts.size();
    std::vector<Chain> chains;
    for (int c = 0; c < kChains; ++c) {
        const std::size_t first = n * c / kChains;
        chains.push_back({static_cast<int>(first), static_cast<int>(n * (c + 1) / kChains - first),
                          3 * 1000 * static_cast<std::uint64_t>(c)});
    }
    RandomSource origin;
    origin.reseed(seed);
    const ChainsDifference difference =
        compareChainsSideBySide(packed, starts, chains, origin.state(), 2);
    if (!difference.what.empty()) {
        const std::size_t pixel = std::min(static_cast<std::size_t>(difference.pixel), n - 1);
        mismatch("side by side: " + difference.what, rays[pixel]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Decoder decode(in);
    const float scale = decode.scale();
    shapes.clear();
    for (int i = decode.count(kFirstShapes); i > 0 && !decode.empty(); --i) {
        shapes.push_back(decode.shape(scale));
    }
    std::vector<Decoder::Ray> rays;
    for (int i = 1 + decode.count(kMostRays - 1); i > 0; --i) {
        rays.push_back(decode.ray(scale));
    }
    const unsigned seed = decode.seed();
    for (Shape& shape : shapes) {
        scaleShape(shape, decode.scaleOr(1.0f));
    }
    for (Decoder::Ray& ray : rays) {
        const float factor = decode.scaleOr(1.0f);
        if (factor != 1.0f) {
            ray.origin = ray.origin * factor;
        }
    }
    for (int i = decode.count(kMoreShapes); i > 0 && !decode.empty(); --i) {
        shapes.push_back(decode.shape(decode.scaleOr(scale)));
    }
    // Where the rays split into a frame's parts, where the later parts' values start and the room
    // after the first (for an input with no bytes left for them, thirds and positions from the
    // seed).
    const std::size_t n = rays.size();
    const bool given = !decode.empty();
    const std::size_t splitA =
        given ? static_cast<std::size_t>(decode.count(static_cast<int>(n))) : n / 3;
    const std::size_t splitB =
        given ? splitA + static_cast<std::size_t>(decode.count(static_cast<int>(n - splitA)))
              : 2 * n / 3;
    const std::uint64_t second = given ? decode.position() : 3 * std::uint64_t{seed % 64};
    const std::uint64_t room = given ? decode.position() : 3 * std::uint64_t{seed % 7};

    static DrawStream plainDraws(plainSource);
    static DrawStream fastDraws(fastSource);
    for (const std::string& set : instructionSets()) {
        useInstructionSet(set);
        PackedScene packed;
        packed.build(shapes);
        for (const Decoder::Ray& ray : rays) {
            checkSearch(packed, ray);
        }
        plainSource.reseed(seed);
        const RandomSequence::State origin = plainSource.state();
        plainDraws.startAt(origin, 0);
        fastDraws.startAt(origin, 0);
        for (const Decoder::Ray& ray : rays) {
            checkPath(packed, ray, plainDraws, fastDraws);
        }
        checkSplit(packed, rays, splitA, splitB, second, room, seed);
        checkSideBySide(rays, seed);
    }
    useInstructionSet("");
    return 0;
}
