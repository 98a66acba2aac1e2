// SPDX-License-Identifier: MIT
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures.h"
#include "frame/display.h"
#include "frame/frame.h"
#include "frame/frame_scene.h"
#include "frame/image.h"
#include "frame/part_claims.h"
#include "frame/render.h"
#include "frame/stop_signals.h"
#include "test_support.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"
#include "tracer/plain_search.h"
#include "tracer/hemisphere.h"
#include "tracer/path_tracer.h"

using std::chrono::microseconds;

namespace {

std::uint64_t sequentialPictureHash(int frames) {
    resetWorld();
    for (int i = 0; i < frames; ++i) {
        traceFrame(FrameMode::Sequential);
    }
    return pictureHash();
}

} // namespace

// The sequential pictures are fixed by the arithmetic and the generator's sequence alone, the
// same on every instruction set (their values: tests/golden.txt).
RUN_ON_EVERY_INSTRUCTION_SET(GoldenPicture);

TEST_P(GoldenPicture, SequentialAfterOneFrame) {
    EXPECT_EQ(sequentialPictureHash(1), GOLDEN_PICTURE_1_FRAME_FNV1A);
}

TEST_P(GoldenPicture, SequentialAfterThreeFrames) {
    // Every set's code traces the one-frame picture above; the later frames run it on further
    // draws.
    if (wholeFramesSkippedOn(GetParam())) {
        GTEST_SKIP() << "under an emulator, traced on " << instructionSets().front() << " alone";
    }
    EXPECT_EQ(sequentialPictureHash(3), GOLDEN_PICTURE_3_FRAMES_FNV1A);
}

class FrameLoop : public FreshWorld {};

TEST_F(FrameLoop, FirstFrameShowsSingleClampedSamples) {
    const FrameStats stats = traceFrame(FrameMode::TwoWorkers);
    EXPECT_EQ(gSamples, 1);
    EXPECT_GE(stats.segments, static_cast<std::uint64_t>(kPixelCount));
    // The top row sees only the light.
    for (int column = 0; column < kWidth; ++column) {
        ASSERT_EQ(meanPixelWord(column), 0xFFFFFFu) << "column " << column;
    }
    for (int i = 0; i < kPixelCount; ++i) {
        const Vec3& sum = gAccumColor1[i];
        ASSERT_TRUE(sum.x >= 0.0f && sum.x <= 1.0f && sum.y >= 0.0f && sum.y <= 1.0f &&
                    sum.z >= 0.0f && sum.z <= 1.0f && sum.w == 0.0f);
    }
}

TEST_F(FrameLoop, SamplesAccumulateAcrossFramesInBothModes) {
    for (FrameMode mode : {FrameMode::TwoWorkers, FrameMode::Sequential}) {
        resetWorld();
        for (int i = 0; i < 3; ++i) {
            traceFrame(mode);
        }
        EXPECT_EQ(gSamples, 3);
        EXPECT_EQ(gAccumColor1[0].x, 3.0f); // three samples of the light
        float total = 0.0f;
        for (const Vec3& sum : gAccumColor1) {
            ASSERT_LE(sum.x, 3.0f);
            total += sum.y;
        }
        EXPECT_GT(total, 0.0f);
    }
}

TEST_F(FrameLoop, TwoWorkerFramesHoldNothingOver) {
    // Bounces held by a sequential frame (or a checkpoint) are carried until the next
    // two-worker frame, which starts where the generator stands.
    traceFrame(FrameMode::Sequential);
    DrawState held = drawState();
    EXPECT_FALSE(held.held.empty());
    setDrawState(held);
    EXPECT_EQ(drawState().held, held.held);
    for (int round = 0; round < 2; ++round) {
        traceFrame(FrameMode::TwoWorkers);
        EXPECT_EQ(lastFrameDraws().origin, held.generator);
        const DrawState after = drawState();
        ASSERT_TRUE(after.held.empty()) << "round " << round;
        held = after;
    }
}

// A sequential frame traces the top band, then the bottom band, with the plain sequence of draws
// from where the last frame left it: two frames are the plain tracer's, bit for bit.
TEST_F(FrameLoop, SequentialFramesAreThePlainTracersWithThePlainSequence) {
    RandomSource source;
    source.setState(drawState().generator);
    DrawStream plain(source);
    std::vector<Vec3> sums(kPixelCount);
    for (int frame = 0; frame < 2; ++frame) {
        traceFrame(FrameMode::Sequential);
        for (int i = 0; i < kPixelCount; ++i) {
            const Vec3 col =
                pathTraceRay(gRayOrigin, primaryDirection(i / kWidth, i % kWidth), 0, plain);
            sums[i].x += std::min(1.0f, col.x);
            sums[i].y += std::min(1.0f, col.y);
            sums[i].z += std::min(1.0f, col.z);
        }
        for (int i = 0; i < kPixelCount; ++i) {
            ASSERT_TRUE(floatBits(sums[i].x) == floatBits(gAccumColor1[i].x) &&
                        floatBits(sums[i].y) == floatBits(gAccumColor1[i].y) &&
                        floatBits(sums[i].z) == floatBits(gAccumColor1[i].z))
                << "frame " << frame << ", pixel " << i << " (row " << i / kWidth << ")";
        }
    }
}

TEST_F(FrameLoop, BandsWriteOnlyTheirOwnRows) {
    precalcFrame(gRayOrigin);
    RandomSource source;
    DrawStream draws(source);
    render(0, 240, prepareFrameScene(), draws);
    for (int i = 240 * kWidth; i < kPixelCount; ++i) {
        ASSERT_EQ(gAccumColor1[i].x, 0.0f);
        ASSERT_EQ(gAccumColor1[i].y, 0.0f);
        ASSERT_EQ(gAccumColor1[i].z, 0.0f);
    }
    EXPECT_EQ(gAccumColor1[0].x, 1.0f);
}

namespace {

bool endsOnAnAcceptedTriple(const RandomSequence::State& origin, const DrawStretch& stretch) {
    RandomSequence sequence;
    sequence.setState(origin);
    sequence.skip(stretch.to - 3);
    const int z = sequence.next();
    const int y = sequence.next();
    return !gBounceTable.rejected[gridIndex(z, y, sequence.next())];
}

// The values the two workers of the plain program could have taken: one unbroken stretch of
// whole triples from the frame's first value, each value once, each band's in increasing order,
// and none left unused at the end of a band. Returns the stretch's end.
std::uint64_t expectOneUnbrokenStretch(const FrameDraws& draws) {
    std::vector<DrawStretch> all;
    for (const std::vector<DrawStretch>* band : {&draws.top, &draws.bottom}) {
        std::uint64_t last = 0;
        for (const DrawStretch& stretch : *band) {
            EXPECT_EQ(stretch.from % 3, 0u);
            EXPECT_EQ(stretch.to % 3, 0u);
            EXPECT_LE(last, stretch.from) << "a band goes back in the sequence";
            EXPECT_LE(stretch.from, stretch.to);
            last = stretch.to;
            if (stretch.from < stretch.to) {
                all.push_back(stretch);
            }
        }
        if (!band->empty() && band->back().from < band->back().to) {
            EXPECT_TRUE(endsOnAnAcceptedTriple(draws.origin, band->back()))
                << "a band leaves values it took unused";
        }
    }
    std::sort(all.begin(), all.end(),
              [](const DrawStretch& a, const DrawStretch& b) { return a.from < b.from; });
    std::uint64_t end = 0;
    for (const DrawStretch& stretch : all) {
        EXPECT_EQ(stretch.from, end) << "values skipped or used twice";
        end = stretch.to;
    }
    return end;
}

// The searches the plain tracer makes along one pixel's path (its first hit's included), drawing
// as it draws: one per segment, as a frame counts them.
std::uint64_t segmentsOfPath(Vec3 origin, Vec3 dir, DrawStream& draws) {
    std::uint64_t searches = 0;
    for (int depth = 0; depth <= kMaxDepth; ++depth) {
        float t = 0.0f;
        const Shape* hit = findClosestShape(origin, dir, t, depth == 0);
        ++searches;
        if (hit == nullptr) {
            break;
        }
        Vec3 point;
        Vec3 normal;
        hit->getCollisionInfo(origin, dir, t, point, normal);
        dir = randomRayInHemisphere(normal, draws);
        if (isEmitter(*hit)) {
            break;
        }
        origin = point;
    }
    return searches;
}

// The path segments of rows [first, end), drawing exactly `bounces` in order.
std::uint64_t segmentsOfBand(int first, int end, const std::vector<std::uint16_t>& bounces) {
    ReplayDraws replay(bounces);
    std::uint64_t segments = 0;
    for (int row = first; row < end; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            segments += segmentsOfPath(gRayOrigin, primaryDirection(row, column), replay.draws());
        }
    }
    EXPECT_TRUE(replay.usedAll());
    return segments;
}

// Adds to `sums` the samples of rows [first, end) traced by the plain recursive tracer, drawing
// exactly `bounces` in order.
void replayBand(int first, int end, const std::vector<std::uint16_t>& bounces,
                std::vector<Vec3>& sums) {
    ReplayDraws replay(bounces);
    for (int row = first; row < end; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            const Vec3 col =
                pathTraceRay(gRayOrigin, primaryDirection(row, column), 0, replay.draws());
            Vec3& sum = sums[static_cast<std::size_t>(row) * kWidth + column];
            sum.x += std::min(1.0f, col.x);
            sum.y += std::min(1.0f, col.y);
            sum.z += std::min(1.0f, col.z);
        }
    }
    EXPECT_TRUE(replay.usedAll()) << "the band used fewer bounces than recorded";
    EXPECT_TRUE(replay.tookNoMore()) << "the band used more bounces than recorded";
}

// Traces a two-worker frame, checks which values its bands used and traces it again with the
// plain tracer and those values: the sums must be the same, bit for bit.
void expectFrameReplays(const char* what) {
    SCOPED_TRACE(what);
    const std::vector<Vec3> before(gAccumColor1.begin(), gAccumColor1.end());
    const RandomSequence::State origin = drawState().generator;
    const FrameStats stats = traceFrame(FrameMode::TwoWorkers);
    const FrameDraws& draws = lastFrameDraws();
    EXPECT_EQ(stats.retraced, draws.retraced) << "the frame reports another miss than it had";
    EXPECT_EQ(draws.origin, origin) << "the frame did not start where the last one ended";
    const std::uint64_t end = expectOneUnbrokenStretch(draws);
    RandomSequence after;
    after.setState(origin);
    after.skip(end);
    EXPECT_EQ(drawState().generator, after.state()) << "the next frame does not start at the end";
    EXPECT_TRUE(drawState().held.empty());

    std::vector<Vec3> sums = before;
    const std::vector<std::uint16_t> top = bouncesOf(origin, draws.top);
    const std::vector<std::uint16_t> bottom = bouncesOf(origin, draws.bottom);
    replayBand(0, kBandSplitRow, top, sums);
    replayBand(kBandSplitRow, kHeight, bottom, sums);
    // The segments the summary reports, those of parts traced in lanes included (a frame that
    // traced parts again counts them twice).
    if (!kEmulated && !stats.retraced) {
        EXPECT_EQ(stats.segments, segmentsOfBand(0, kBandSplitRow, top) +
                                      segmentsOfBand(kBandSplitRow, kHeight, bottom));
    }
    for (int i = 0; i < kPixelCount; ++i) {
        const Vec3& a = sums[i];
        const Vec3& b = gAccumColor1[i];
        ASSERT_TRUE(floatBits(a.x) == floatBits(b.x) && floatBits(a.y) == floatBits(b.y) &&
                    floatBits(a.z) == floatBits(b.z))
            << "pixel " << i << " (row " << i / kWidth << ")";
    }
}

} // namespace

// Every two-worker frame is one the plain program's two workers could have traced: on each
// instruction set, with the frame's own plans and with plans that miss.
RUN_ON_EVERY_INSTRUCTION_SET(TwoWorkerFrames);

TEST_P(TwoWorkerFrames, ReplaysWithThePlainTracer) {
    // Each set's lanes against the paths one after another: FastPath.ChainsSideBySide*.
    if (wholeFramesSkippedOn(GetParam())) {
        GTEST_SKIP() << "under an emulator, replayed on " << instructionSets().front() << " alone";
    }
    if (kEmulated) {
        // A frame takes seconds under an emulator: the first, then one planned frame replayed.
        traceFrame(FrameMode::TwoWorkers);
    } else {
        expectFrameReplays("the first frame, no figures to plan by");
    }
    // Whatever ran before: a new picture's figures are its own.
    EXPECT_EQ(lastFrameDraws().plan.parts, 0);
    expectFrameReplays("a frame planned from the first");
    // The bottom band in parts, the first later part kept (the last ones may be traced again
    // when the top band uses fewer values than planned).
    const FrameDraws& draws = lastFrameDraws();
    EXPECT_GT(draws.plan.parts, 1);
    ASSERT_GE(draws.bottom.size(), 3u);
    EXPECT_EQ(draws.bottom[1].from, draws.plan.starts[0]);
    if (!kEmulated) {
        expectFrameReplays("a frame planned from two");
    }
}

class TwoWorkerFramesOneAfterAnother : public FreshWorld {};

// A scene whose colour products are not exact in every order: its parts are traced one path
// after another, and its frames replay as well.
TEST_F(TwoWorkerFramesOneAfterAnother, ReplayWhereColoursAreNotExact) {
    shapes[6].color = makeVec3(0.0f, 0.3f, 0.0f);
    traceFrame(FrameMode::TwoWorkers);
    expectFrameReplays("a frame planned, parts one path after another");
    EXPECT_GT(lastFrameDraws().plan.parts, 1);
}

// Frames by plans that miss, or whose every step is known in advance: on each instruction set,
// as the parts are traced side by side or one after another.
RUN_ON_EVERY_INSTRUCTION_SET(TwoWorkerPlans);

TEST_P(TwoWorkerPlans, PlansThatMissAreMadeGood) {
    traceFrame(FrameMode::TwoWorkers);
    traceFrame(FrameMode::TwoWorkers);
    const FramePlan planned = lastFrameDraws().plan;
    ASSERT_GT(planned.parts, 4);
    // The second part's values start far beyond what the top band uses: the stretch before
    // them cannot be filled.
    setNextFramePlan(twoPartPlan(400, 3 * 5000000));
    expectFrameReplays("a stretch the top band cannot fill");
    EXPECT_TRUE(lastFrameDraws().retraced);
    EXPECT_EQ(lastFrameDraws().bottom.size(), 2u);
    // The second part's values start before the first part's end.
    setNextFramePlan(twoPartPlan(300, 3 * 1000));
    expectFrameReplays("a first part that runs into the second's values");
    EXPECT_TRUE(lastFrameDraws().retraced);
    // A part runs into the next one's values: the parts from there on are traced again.
    FramePlan plan = planned;
    for (int part = 3; part < plan.parts; ++part) {
        plan.starts[part] -= 3 * 20000;
    }
    setNextFramePlan(plan);
    expectFrameReplays("a part that runs into the next one's values");
    EXPECT_TRUE(lastFrameDraws().retraced);
    EXPECT_EQ(lastFrameDraws().bottom.size(), 1u + 3u + 1u);
    // The top band runs out before the last part's start.
    plan = planned;
    plan.starts[plan.parts - 1] += 3 * 1000000;
    setNextFramePlan(plan);
    expectFrameReplays("a last part the top band does not reach");
    EXPECT_TRUE(lastFrameDraws().retraced);
    EXPECT_EQ(lastFrameDraws().bottom.size(), static_cast<std::size_t>(plan.parts) + 1u);
    // No split: one worker traces the frame.
    setNextFramePlan(FramePlan{});
    expectFrameReplays("no split");
    EXPECT_EQ(lastFrameDraws().bottom.size(), 1u);
    // The planned ones again.
    expectFrameReplays("planned again");
    EXPECT_EQ(lastFrameDraws().bottom[1].from, lastFrameDraws().plan.starts[0]);
}

using Workers = TwoWorkerFrame::Workers;

// The top band's last value ends exactly at a part's start: its draws stopped there and went on
// after the part, but used nothing beyond it, so the stretch before the part is filled and the
// part's values are not the top band's. The part is traced again after the top band's values.
// (The top band's worker alone, so that every step is known in advance.)
TEST_P(TwoWorkerPlans, TopBandEndingAtAPartsStartLeavesThePartToBeTracedAgain) {
    constexpr int kSplit = 400;
    setNextFramePlan(twoPartPlan(kSplit, 3 * 5000000), Workers::TopBandsOnly);
    traceFrame(FrameMode::TwoWorkers);
    const std::uint64_t topEnd = lastFrameDraws().top.back().to;
    resetWorld();
    setNextFramePlan(twoPartPlan(kSplit, topEnd), Workers::TopBandsOnly);
    expectFrameReplays("the top band ending at the part's start");
    const FrameDraws& draws = lastFrameDraws();
    EXPECT_TRUE(draws.retraced);
    ASSERT_EQ(draws.top.size(), 1u);
    EXPECT_EQ(draws.top[0].to, topEnd);
    ASSERT_EQ(draws.bottom.size(), 2u);
    EXPECT_EQ(draws.bottom[1].from, topEnd);
}

// Parts the top band never reaches, taken by no one (its worker takes parts only while its
// draws wait at one): each is traced once, after the top band's values, from the sums it had
// (not from a copy another frame left).
TEST_P(TwoWorkerPlans, APartNoOneTookIsTracedOnceAfterTheTopBand) {
    traceFrame(FrameMode::TwoWorkers);
    traceFrame(FrameMode::TwoWorkers); // every part traced, and its sums copied first
    FramePlan plan = lastFrameDraws().plan;
    ASSERT_GT(plan.parts, 4);
    for (int part = 0; part < plan.parts; ++part) {
        plan.starts[part] += 3 * 1000000;
    }
    setNextFramePlan(plan, Workers::TopBandsOnly);
    expectFrameReplays("parts no one took");
    EXPECT_TRUE(lastFrameDraws().retraced);
    EXPECT_EQ(lastFrameDraws().bottom.size(), 2u);
}

namespace {

// A plan whose first part is rows [kBandSplitRow, splitRow) and whose later parts begin at `rows`
// (the last ends at kHeight): the first later part's values start at `start`, each other's so far
// beyond it that the top band never reaches them.
FramePlan planReachingOnlyTheFirst(int splitRow, std::initializer_list<int> rows,
                                   std::uint64_t start) {
    FramePlan plan;
    plan.splitRow = splitRow;
    for (const int row : rows) {
        plan.rows[plan.parts] = row;
        plan.starts[plan.parts] = start + 3 * 5000000ull * plan.parts;
        ++plan.parts;
    }
    plan.rows[plan.parts] = kHeight;
    return plan;
}

// Traces a frame of the top band's worker alone by such a plan whose first later part's values
// start a little before the top band's end: its draws stop there while the first later part, and
// every other part its lanes took meanwhile, is traced. `frameBefore` brings the world to the
// frame's origin; it runs twice, once to find where the top band ends.
void traceReachingOnlyTheFirst(const std::function<void()>& frameBefore, int splitRow,
                               std::initializer_list<int> rows) {
    frameBefore();
    setNextFramePlan(planReachingOnlyTheFirst(splitRow, rows, 3 * 5000000),
                     Workers::TopBandsOnly);
    traceFrame(FrameMode::TwoWorkers);
    const std::uint64_t topEnd = lastFrameDraws().top.back().to;
    frameBefore();
    setNextFramePlan(planReachingOnlyTheFirst(splitRow, rows, (topEnd / 3 - 100) * 3),
                     Workers::TopBandsOnly);
}

} // namespace

// A lane's draws move on from part to part within a frame; the next frame's parts draw from that
// frame's origin, even where a lane's first part there starts beyond where its draws ended.
TEST_P(TwoWorkerPlans, EachFramesLanesDrawFromItsOrigin) {
    // Sixteen parts, each taken into a lane of its own while the top band waits at the first.
    std::uint64_t firstLaneEnd = 0;
    const auto sixteenParts = [&] {
        resetWorld();
        traceReachingOnlyTheFirst(resetWorld, kBandSplitRow,
                                  {240, 255, 270, 285, 300, 315, 330, 345, 360, 375, 390, 405,
                                   420, 435, 450, 465});
        traceFrame(FrameMode::TwoWorkers);
        ASSERT_GE(lastFrameDraws().bottom.size(), 2u);
        firstLaneEnd = lastFrameDraws().bottom[1].to;
    };
    // Then one part after a first part of 60 rows, which starts beyond the first lane's end.
    traceReachingOnlyTheFirst(sixteenParts, 300, {300});
    expectFrameReplays("a lane's first part beyond where it ended in the last frame");
    ASSERT_GE(lastFrameDraws().bottom.size(), 2u);
    EXPECT_GT(lastFrameDraws().bottom[1].from, firstLaneEnd);
}

// The top band ends while its lanes still trace a part it never reached: that part is traced to
// its end, its sums put back, and traced again after the top band's values.
TEST_P(TwoWorkerPlans, PartsInLanesWhenTheTopBandEndsAreTracedAgain) {
    // A short first later part and a long second one, taken while the top band waits at the
    // first.
    traceReachingOnlyTheFirst(resetWorld, kBandSplitRow, {240, 260});
    expectFrameReplays("a part still in a lane as the top band ends");
    EXPECT_TRUE(lastFrameDraws().retraced);
    EXPECT_EQ(lastFrameDraws().bottom.size(), 3u);
}

// Two workers taking parts as fast as they can: each part is taken exactly once.
TEST(PartClaims, EachPartGoesToOneWorker) {
    constexpr int kParts = 1 << 20;
    PartClaims claims;
    claims.reset(kParts);
    std::atomic<int> ready{0};
    std::vector<int> taken[2];
    const auto take = [&](std::vector<int>& mine) {
        mine.reserve(kParts);
        // Each takes one part before either goes on, so that both take some however the two
        // threads are scheduled; then they race for the rest.
        mine.push_back(claims.claim());
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        for (int index = claims.claim(); index >= 0; index = claims.claim()) {
            mine.push_back(index);
        }
    };
    std::thread other(take, std::ref(taken[1]));
    take(taken[0]);
    other.join();
    std::vector<int> all(taken[0]);
    all.insert(all.end(), taken[1].begin(), taken[1].end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kParts)) << "a part taken twice, or lost";
    for (int index = 0; index < kParts; ++index) {
        ASSERT_EQ(all[index], index);
    }
    EXPECT_GT(taken[0].size(), 0u);
    EXPECT_GT(taken[1].size(), 0u);
}

TEST(TwoWorkerPlan, SharesTheBottomBandInPartsBothWorkersTake) {
    EXPECT_EQ(planFrame(RowFigures{}).parts, 0); // nothing measured yet
    // Every row alike: the top band alone is nearly half the work; the bottom band is all in
    // later parts of four rows.
    RowFigures rows;
    rows.known = true;
    rows.nanoseconds.fill(1000);
    rows.values.fill(20000);
    FramePlan plan = planFrame(rows);
    EXPECT_EQ(plan.splitRow, kBandSplitRow);
    ASSERT_EQ(plan.parts, 60);
    for (int part = 0; part <= plan.parts; ++part) {
        EXPECT_EQ(plan.rows[part], kBandSplitRow + 4 * part);
    }
    // A bottom band's row three times as costly as the top band's: the top band's worker's own
    // share, a little under half of 960 rows' worth, is the top band and about 60 rows more.
    std::fill(rows.nanoseconds.begin() + kBandSplitRow, rows.nanoseconds.end(), 3000);
    plan = planFrame(rows);
    EXPECT_GE(plan.splitRow, 295);
    EXPECT_LE(plan.splitRow, 305);
    ASSERT_EQ(plan.parts, (kHeight - plan.splitRow + 3) / 4);
    EXPECT_EQ(plan.rows[plan.parts], kHeight);
    // Each part's values start after the last one's with a little room, and the top band's
    // fill the stretch before the first but a small share.
    const std::uint64_t firstPart = 20000ull * (plan.splitRow - kBandSplitRow);
    const std::uint64_t top = 20000ull * kBandSplitRow;
    EXPECT_GT(plan.starts[0], firstPart + top * 9 / 10);
    std::uint64_t room = 0;
    for (int part = 0; part < plan.parts; ++part) {
        EXPECT_EQ(plan.starts[part] % 3, 0u);
        if (part + 1 < plan.parts) {
            const std::uint64_t values = 20000ull * (plan.rows[part + 1] - plan.rows[part]);
            EXPECT_GT(plan.starts[part + 1], plan.starts[part] + values);
            EXPECT_LT(plan.starts[part + 1], plan.starts[part] + values * 11 / 10);
            room += plan.starts[part + 1] - plan.starts[part] - values;
        }
    }
    const std::uint64_t left = top - (plan.starts[0] - firstPart) - room;
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, top / 50);
    // Parts traced side by side: however costly the bottom band, it is all in later parts.
    plan = planFrame(rows, PartsTraced::SideBySide);
    EXPECT_EQ(plan.splitRow, kBandSplitRow);
    EXPECT_EQ(plan.parts, 60);
    EXPECT_GT(plan.starts[0], top * 9 / 10);
}

TEST(PrimaryRay, CentrePixelLooksStraightAhead) {
    const Vec3 d = primaryDirection(240, 320);
    EXPECT_EQ(d.x, 0.0f);
    EXPECT_EQ(d.y, 0.0f);
    EXPECT_EQ(d.z, 1.0f);
    const Vec3 corner = primaryDirection(0, 0);
    EXPECT_LT(corner.x, 0.0f); // scene -x is on the left
    EXPECT_LT(corner.y, 0.0f); // scene -y is at the top
    EXPECT_NEAR(corner.z, 512.0f / std::sqrt(320.0f * 320.0f + 240.0f * 240.0f + 512.0f * 512.0f),
                1e-6f);
}

TEST(TimingLine, WholeMillisecondsTruncated) {
    EXPECT_EQ(tracingTimeLine(microseconds(12900)), "Tracing time: 12 ms.");
    EXPECT_EQ(tracingTimeLine(microseconds(900)), "Tracing time: 0 ms.");
    EXPECT_EQ(tracingTimeLine(microseconds(1234000)), "Tracing time: 1234 ms.");
}

TEST(Display, EncodeTruncatesEachChannel) {
    EXPECT_EQ(encodeColor(makeVec3(1, 1, 1)), 0xFFFFFFu);
    EXPECT_EQ(encodeColor(makeVec3(0, 0, 0)), 0u);
    EXPECT_EQ(encodeColor(makeVec3(1, 0, 0)), 0xFF0000u);
    EXPECT_EQ(encodeColor(makeVec3(0, 0.5f, 0)), 0x007F00u); // 127.5 truncates to 127
    EXPECT_EQ(encodeColor(makeVec3(0, 0, 0.999f)), 0x0000FEu);
}

TEST(Display, EveryFloatGivesALevel) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(encodeColor(makeVec3(inf, -inf, nan)), 0xFF0000u);
    EXPECT_EQ(encodeColor(makeVec3(1.5f, -0.5f, 1e30f)), 0xFF00FFu);
    EXPECT_EQ(encodeColor(makeVec3(-nan, 3e9f, -0.0f)), 0x00FF00u);
}

TEST(Display, ShowsTheTruncatedMeanOfTheSamples) {
    clearImage();
    gSamples = 3;
    gAccumColor1[5] = makeVec3(3.0f, 1.0f, 2.0f);
    // 255 * (1/3) = 85, 255 * (2/3) = 170 after truncation.
    EXPECT_EQ(meanPixelWord(5), 0xFF55AAu);
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(kHeight) * kWidth * 4);
    writeMeanPixels(memory.data(), kWidth * 4);
    // Each pixel is one native 32-bit word 0x00RRGGBB, as a 32-bit surface holds it.
    std::uint32_t word = 0;
    std::memcpy(&word, &memory[5 * 4], sizeof word);
    EXPECT_EQ(word, 0xFF55AAu);
}

class LongRun : public FreshWorld {};

TEST_F(LongRun, PictureStaysConvergedAtTheSampleBound) {
    traceFrame(FrameMode::Sequential);
    // As if the program had run for kMaxSamples - 1 frames: every pixel lit all along.
    gSamples = kMaxSamples - 1;
    for (Vec3& sum : gAccumColor1) {
        sum = makeVec3(static_cast<float>(kMaxSamples - 1), 0.5f * (kMaxSamples - 1), 0.0f);
    }
    const FrameStats last = traceFrame(FrameMode::TwoWorkers);
    EXPECT_GT(last.segments, 0u);
    EXPECT_EQ(gSamples, kMaxSamples);
    const std::uint64_t converged = pictureHash();
    const std::uint32_t top = meanPixelWord(0);
    EXPECT_EQ(top >> 16, 255u); // the light's pixel still shows full red
    for (int i = 0; i < 3; ++i) {
        const FrameStats idle = traceFrame(FrameMode::TwoWorkers);
        EXPECT_EQ(idle.segments, 0u);
        EXPECT_EQ(idle.tracing.count(), 0);
    }
    EXPECT_EQ(gSamples, kMaxSamples);
    EXPECT_EQ(pictureHash(), converged);
}

TEST_F(LongRun, LightPixelSumsStayExactUpToTheBound) {
    // The light's pixel gains exactly 1 in every channel each frame. Traced up to the bound from
    // just below it, its sums are the exact frame count and its mean is still full white; the
    // frame after the bound adds nothing.
    traceFrame(FrameMode::Sequential);
    gSamples = kMaxSamples - 2;
    const float below = static_cast<float>(kMaxSamples - 2);
    gAccumColor1[0] = makeVec3(below, below, below);
    for (int i = 0; i < 3; ++i) {
        traceFrame(i % 2 == 0 ? FrameMode::TwoWorkers : FrameMode::Sequential);
    }
    const float bound = static_cast<float>(kMaxSamples);
    EXPECT_EQ(gAccumColor1[0].x, bound);
    EXPECT_EQ(gAccumColor1[0].y, bound);
    EXPECT_EQ(gAccumColor1[0].z, bound);
    EXPECT_EQ(meanPixelWord(0), 0xFFFFFFu);
}

TEST(Display, BlackBeforeTheFirstSample) {
    clearImage();
    gAccumColor1[0] = makeVec3(1, 1, 1);
    EXPECT_EQ(meanPixelWord(0), 0u);
}

// Signals one after another at a program that catches them as pathtracer-render does: the first
// asks it to stop; a SIGINT or SIGTERM after it ends the program at once; SIGHUP never does,
// since closing a terminal sends it twice. Each run in a process of its own.
TEST(StopSignals, OnlyASecondInterruptOrTerminateEndsAtOnce) {
    struct Run {
        std::vector<int> signals;
        int killedBy; // or 0: the program goes on, asked to stop by the first
    };
    const Run runs[] = {
        {{SIGHUP, SIGHUP, SIGHUP}, 0},
        {{SIGINT, SIGHUP}, 0},
        {{SIGTERM}, 0},
        {{SIGHUP, SIGTERM}, SIGTERM},
        {{SIGINT, SIGINT}, SIGINT},
        {{SIGTERM, SIGINT}, SIGINT},
    };
    for (const Run& run : runs) {
        const auto raiseAll = [&] {
            catchStopSignals(true, true);
            for (const int signal : run.signals) {
                std::raise(signal);
            }
            std::_Exit(stopSignal());
        };
        if (run.killedBy != 0) {
            EXPECT_EXIT(raiseAll(), testing::KilledBySignal(run.killedBy), "") << run.signals[0];
        } else {
            EXPECT_EXIT(raiseAll(), testing::ExitedWithCode(run.signals[0]), "") << run.signals[0];
        }
    }
}

// Once the terminal has hung up, a line for it never stops the program (SIGTTOU, SIGTTIN).
TEST(StopSignals, AfterAHangUpTerminalStopsAreIgnored) {
    const auto hangUp = [] {
        catchStopSignals(true, true);
        std::raise(SIGHUP);
        struct sigaction output, input;
        sigaction(SIGTTOU, nullptr, &output);
        sigaction(SIGTTIN, nullptr, &input);
        std::_Exit(output.sa_handler == SIG_IGN && input.sa_handler == SIG_IGN ? 0 : 1);
    };
    EXPECT_EXIT(hangUp(), testing::ExitedWithCode(0), "");
}
