// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <vector>

#include "frame/frame_plan.h"
#include "frame/huge_pages.h"
#include "frame/image.h"
#include "frame/part_claims.h"
#include "scene/random_sequence.h"
#include "scene/random_source.h"
#include "tracer/draws.h"
#include "tracer/path_lanes.h"

struct FrameScene;
struct Vec3;

// A frame traced by two workers, as one the program's two workers could have traced.
//
// The rule. The window's frame is traced by two workers, the top band's (rows 0 to 239) and the
// bottom band's (rows 240 to 479), both drawing from one generator. Whatever their timing, such a
// frame uses one unbroken stretch of the generator's sequence from where the last frame ended,
// each value once, and each band uses its values in increasing order along its pixels and
// bounces. Every frame traced here keeps that rule, and says which values each band used
// (Draws, below), so that tests can trace it again with the plain tracer and get the same sums bit
// for bit.
//
// Why not simply two bands. The top band mostly sees the light, where paths end after one hit:
// it is about a quarter of the work. A worker per band would leave one core idle for half the
// frame. So the bottom band's work is shared, in parts, while the rule is kept.
//
// Bands and parts. The plan (frame_plan.h, made from the last frames' row figures) cuts the
// bottom band into its first part, rows [240, splitRow), and later parts of four rows. The first
// part takes the values from position 0. Each later part takes its values from a planned
// position, `starts[i]`: where the values before it are expected to end, plus some room.
//
// Rooms and the top band's chain. A later part's values end wherever its paths end; the room
// left after it (about ten times the square root of its count of values) is filled by the top
// band. The top band's worker traces the first part, then the top band with the values from the
// first part's end on. Its draws stop at the first later part's start (DrawStream::stopAt): it
// cannot go on until that part is traced, because only then is its end known. It then goes on
// after the part's end, up to the next part's start, and so on; after the last part it goes on
// freely. So the top band's values are the stretches between the parts, in order, and the bottom
// band's are the first part's and each later part's, in order: one unbroken stretch. The top
// band is one chain of dependent values, and the parts hang on it.
//
// Workers. The other worker takes later parts from the front. The top band's worker, when its
// draws stop at a part that is not yet traced, takes the next free part itself rather than wait
// (it cannot be the part it waits for: that one was taken). A part is taken by one worker only
// (PartClaims).
//
// Parts side by side. Within a part each path takes its draws where the one before ended, so a
// part traced alone is one chain of dependent searches, and a core waits on it much of the time.
// The parts, though, start at planned positions and do not wait for each other: where the
// instruction set has vectors and the scene allows it (PackedScene::tracesInLanes), each worker
// traces the parts it takes side by side, a part in each vector lane (tracer/path_lanes.h), each
// with draws of its own, and takes the next free part into a lane as soon as the lane's part is
// done. The top band's worker keeps its lanes' paths in flight while its own draws go on, and
// resumes them when they stop again. The top band stays one chain, traced one path after
// another; so the plan gives its worker no first part (it would be traced the same slow way),
// and the bottom band is all in later parts.
//
// Misses. A plan comes from figures that vary from frame to frame, so it can miss: the top band
// may use fewer values than planned and end before a part's start (the room before it stays
// unfilled), the first part may run into the first later part's values, or a part may run into
// the next one's. The frame then keeps the later parts before the miss and traces the rest again
// after the joins, on one thread, with the values after the top band's: each missed part's sums
// are first put back as they were (from the copy made while it was traced). Tracing again is
// rare (a few frames in a thousand) and costs about what sharing won.
//
// Threads. As the program's own frames do, a frame starts its two workers and joins them; the
// workers share the part claims and each part's end (`done`, written with release and read with
// acquire); every other value belongs to one worker until the joins.
class TwoWorkerFrame {
    using Clock = std::chrono::steady_clock;

  public:
    // The values each band used in the last frame: positions counted from the frame's first
    // value, where the generator's state was `origin`; each band's stretches [from, to) in the
    // order it used them (the bottom band's first part, then its later parts, then what was
    // traced again).
    struct Draws {
        RandomSequence::State origin{};
        std::vector<DrawStretch> top;
        std::vector<DrawStretch> bottom;
        FramePlan plan;
        bool retraced = false;
    };

    // Which of the two workers run. Both, as the program has it; or the top band's alone, which
    // then takes parts only while its draws wait at one, and leaves those it never took to be
    // traced again (a frame whose every step is known in advance, for tests).
    enum class Workers { Both, TopBandsOnly };

    TwoWorkerFrame();

    // Traces one sample for every pixel of gAccumColor1 from the generator's state `origin`
    // (of seeding `generation`); returns the path segments traced. The generator state just after
    // the frame's last value is then end(). Row figures of another seeding are forgotten first.
    // Throws std::system_error when the top band's worker cannot be started.
    std::uint64_t trace(const FrameScene& scene, const RandomSequence::State& origin,
                        unsigned generation);
    RandomSequence::State end() const { return end_; }
    const Draws& lastDraws() const { return last_; }

    // The next frame follows this plan instead of its own, and runs these workers (for tests).
    void planNext(const FramePlan& plan, Workers workers = Workers::Both);

  private:
    struct Part {
        std::atomic<bool> done{false};
        // Set before done.
        std::uint64_t end = 0;
        RandomSequence::State after{}; // the generator's state at end
        std::uint64_t segments = 0;
    };

    // A worker's later parts traced side by side (tracer/path_lanes.h): a part in each busy lane,
    // with draws of the lane's own.
    struct PartLanes {
        PathLanes lanes;
        std::array<RandomSource, PathLanes::kMostLanes> sources;
        std::vector<DrawStream> draws;
        std::array<int, PathLanes::kMostLanes> part{};     // the part each lane traces
        std::array<bool, PathLanes::kMostLanes> started{}; // its draws traced a part this frame
        std::array<Clock::time_point, PathLanes::kMostLanes> since{}; // when it took the part
        // Each lane's draws' count of values used as each row of its part starts.
        std::array<std::array<std::uint64_t, kHeight>, PathLanes::kMostLanes> rowUsed{};
        PartLanes();
    };

    std::uint64_t traceParts(const FrameScene& scene, Workers workers, PartEnds& ends);
    bool tracesInLanes(const FrameScene& scene) const;
    void startPartDraws(int index, DrawStream& draws, bool& started);
    void publishPart(int index, const DrawStream& draws, std::uint64_t segments);
    void fillIdleLanes(const FrameScene& scene, PartLanes& worker);
    bool takeFreePart(const FrameScene& scene, PartLanes& worker, int lane);
    bool traceTakenParts(const FrameScene& scene, PartLanes& worker);
    void finishPart(PartLanes& worker, int lane);
    std::uint64_t traceFirstPartAndTop(const FrameScene& scene, PartEnds& ends);
    void traceFreeParts(const FrameScene& scene);
    void awaitPart(const FrameScene& scene);
    void traceClaimedPart(const FrameScene& scene, int index, DrawStream& draws, bool& started);
    template <typename AtStop>
    std::uint64_t traceRows(int first, int end, const FrameScene& scene, DrawStream& draws,
                            Vec3* keep, AtStop atStop);
    void settle(const FrameScene& scene, const PartEnds& ends, std::uint64_t& segments);
    void keepRowFigures();

    // The top band's worker's draws (the first part, the top band, what is traced again), the
    // other worker's, and those of the parts the top band's worker takes while it waits; each on
    // cache lines of its own, so that one worker's draws never slow the other's.
    alignas(64) RandomSource topSource_;
    alignas(64) RandomSource otherSource_;
    alignas(64) RandomSource waitingSource_;
    alignas(64) DrawStream topDraws_{topSource_};
    alignas(64) DrawStream otherDraws_{otherSource_};
    alignas(64) DrawStream waitingDraws_{waitingSource_};
    // Each worker's lanes: the other worker's, and those of the parts the top band's worker takes.
    alignas(64) PartLanes otherLanes_;
    alignas(64) PartLanes waitingLanes_;

    // This frame's.
    alignas(64) FramePlan plan_;
    RandomSequence::State origin_{};
    PartClaims claims_;
    std::array<Part, FramePlan::kMostParts> parts_;
    // The sums of the bottom band's later parts before the frame, to trace them again if need be.
    HugePageVector<Vec3> laterBefore_;
    RowFigures rows_;
    // The top band's worker's alone.
    int passed_ = 0;              // the later parts whose ends its draws went on after
    bool waitingStarted_ = false;   // it has traced a later part in this frame

    // Between frames.
    RowFigures lastRows_; // the running mean the next plan follows
    unsigned generation_ = 0;
    bool planGiven_ = false;
    FramePlan givenPlan_;
    Workers givenWorkers_ = Workers::Both;
    Draws last_;
    RandomSequence::State end_{};
};
