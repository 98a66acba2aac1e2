// SPDX-License-Identifier: MIT
// The generator's sequence and the draw streams against the C library's rand(): the same values,
// and the bounces a frame's streams hand out are the sequence's accepted triples, part by part.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scene/random_sequence.h"
#include "scene/random_source.h"
#include "test_support.h"
#include "tracer/bounce_table.h"
#include "tracer/draws.h"
#include "tracer/packed_scene.h"
#include "tracer/path_lanes.h"
#include "tracer/path_tracer.h"

TEST(RandomSequence, YieldsTheCLibrarySequence) {
    for (unsigned seed : {1337u, 0u, 1u, 2147483648u, 4294967295u}) {
        std::srand(seed);
        RandomSequence sequence(seed);
        std::vector<std::int32_t> batch(100000);
        sequence.fill(batch.data(), static_cast<int>(batch.size()));
        for (std::size_t i = 0; i < batch.size(); ++i) {
            ASSERT_EQ(batch[i], std::rand()) << "seed " << seed << " value " << i;
        }
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(sequence.next(), std::rand());
        }
    }
}

// Values are worked out in blocks: pieces of every size about a block's edges carry the
// sequence on alike.
TEST(RandomSequence, PiecesOfAnySizeGoOnWithTheSequence) {
    std::srand(1337);
    RandomSequence sequence(1337);
    for (int size : {1, 2, 3, 4, 5, 7, 8, 31, 32, 33, 1023, 1024, 1025, 3072, 2047, 6}) {
        std::vector<std::int32_t> piece(static_cast<std::size_t>(size));
        sequence.fill(piece.data(), size);
        for (int i = 0; i < size; ++i) {
            ASSERT_EQ(piece[static_cast<std::size_t>(i)], std::rand())
                << "piece of " << size << ", value " << i;
        }
    }
}

TEST(DrawStream, HandsOutTheAcceptedTriplesInSequenceOrder) {
    RandomSource source;
    source.reseed(1337);
    DrawStream stream(source);
    RandomSequence sequence(1337);
    // Several runs' worth, so that refills are crossed.
    for (int i = 0; i < 10 * DrawStream::kTriplesPerRun; ++i) {
        ASSERT_EQ(stream.nextBounce(), nextAcceptedIndex(sequence)) << "bounce " << i;
    }
}

// What the draw streams and the lanes ask of their callers, checked where the tests are built:
// a broken precondition ends the program at once, naming itself.
TEST(Preconditions, ABrokenOneEndsTheProgramNamingIt) {
#if PATHTRACER_CHECKS
    RandomSource source;
    source.reseed(1337);
    DrawStream stream(source);
    const RandomSequence::State origin = source.state();
    PackedScene notInLanes;
    notInLanes.build({});
    PathLanes lanes;
    const struct {
        const char* broken;
        std::function<void()> call;
        const char* named;
    } cases[] = {
        {"a start between triples", [&] { stream.startAt(origin, 31); }, "position % 3 == 0"},
        {"a move behind the values used", [&] { stream.startAt(origin, 30); stream.nextBounce();
                                                 stream.moveTo(30); },
         "position >= usedEnd"},
        {"a stop behind the values taken", [&] { stream.startAt(origin, 30); stream.nextBounce();
                                                  stream.stopAt(33); },
         "position >= taken_"},
        {"going on between triples", [&] { stream.startAt(origin, 0); stream.goOnAt(4, origin); },
         "position % 3 == 0"},
        {"a lane beyond the set's", [&] { lanes.start(pathLaneCount(), LaneChain{}); },
         "lane < pathLaneCount"},
        {"a scene that does not trace in lanes", [&] { tracePathLanes(notInLanes, lanes); },
         "scene.tracesInLanes"},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(c.call(), std::string("precondition broken: .*") + c.named) << c.broken;
    }
#else
    GTEST_SKIP() << "preconditions are not checked in this build";
#endif
}

TEST(DrawStream, ReservedBouncesKeepTheSequenceAcrossRuns) {
    RandomSource source;
    source.reseed(1337);
    DrawStream stream(source);
    RandomSequence sequence(1337);
    // Reservations of every size, so that runs are crossed with every number of bounces left.
    for (int i = 0; i < 20000; ++i) {
        const int count = 1 + i % DrawStream::kMostReserved;
        stream.reserve(count);
        for (int k = 0; k < count; ++k) {
            ASSERT_EQ(stream.peekReservedBounce(), nextAcceptedIndex(sequence));
            stream.nextReservedBounce();
        }
    }
}

// Every way of turning a run's values into bounces that this processor has keeps the accepted
// triples in order with the positions after them: counts that end inside a vector's triples or
// inside a triple, positions that pass 2^32, values at the ends of their range.
TEST(DrawStream, EveryWayOfAcceptingTriplesKeepsTheAcceptedOnes) {
    constexpr int kMost = 3 * DrawStream::kTriplesPerRun;
    std::vector<std::int32_t> drawn(kMost);
    RandomSequence(1337).fill(drawn.data(), kMost);
    std::vector<std::int32_t> extremes(kMost);
    for (int i = 0; i < kMost; ++i) {
        extremes[static_cast<std::size_t>(i)] = i % 4 == 0   ? 2147483647 - i % 7
                                                : i % 4 == 1 ? i % 23
                                                : i % 4 == 2 ? 2147483640 + i % 8
                                                             : 999999990 + i % 20;
    }
    struct Case {
        const std::vector<std::int32_t>* values;
        int count;
        std::uint32_t end;
    };
    const Case cases[] = {{&drawn, kMost, 0},
                          {&drawn, kMost - 1, 7},
                          {&drawn, 3 * 16 + 3 * 7, 0},
                          {&drawn, 3 * 8 + 2, 0xFFFFFFF0u},
                          {&drawn, 2, 0},
                          {&extremes, kMost, 0xFFFFFF00u},
                          {&extremes, 3 * 17, 1}};
    for (const AcceptWay way : acceptWaysHere()) {
        for (const Case& c : cases) {
            std::vector<std::uint16_t> bounces(DrawStream::kTriplesPerRun);
            std::vector<std::uint32_t> ends(DrawStream::kTriplesPerRun);
            const int accepted =
                acceptTriples(way, c.values->data(), c.count, c.end, bounces.data(), ends.data());
            const std::string where = "way " + std::to_string(static_cast<int>(way)) + ", " +
                                      std::to_string(c.count) + " values";
            int expected = 0;
            for (int t = 0; t < c.count / 3; ++t) {
                const std::int32_t* triple = c.values->data() + 3 * t;
                const int index = gridIndex(triple[0], triple[1], triple[2]);
                if (gBounceTable.rejected[index]) {
                    continue;
                }
                ASSERT_LT(expected, accepted) << where;
                EXPECT_EQ(bounces[static_cast<std::size_t>(expected)], index) << where;
                EXPECT_EQ(ends[static_cast<std::size_t>(expected)],
                          c.end + 3 * static_cast<std::uint32_t>(t + 1))
                    << where;
                ++expected;
            }
            EXPECT_EQ(accepted, expected) << where;
        }
    }
}

TEST(DrawStream, StartsAfreshWhenTheGeneratorIsReseeded) {
    RandomSource source;
    source.reseed(5);
    DrawStream stream(source);
    const int first = stream.nextBounce();
    const int second = stream.nextBounce();
    source.reseed(5);
    stream.syncWithSource();
    EXPECT_EQ(stream.nextBounce(), first);
    EXPECT_EQ(stream.nextBounce(), second);
}

TEST(RandomSequence, SkippingGoesOnWithTheValuesAfterThoseSkipped) {
    // Short skips run through; long ones jump, as far as a frame's values reach. Both land where
    // taking the values would.
    for (std::uint64_t count :
         {0ull, 1ull, 31ull, 4096ull, 4097ull, 65536ull, 1000003ull, (1ull << 23) + 3}) {
        RandomSequence taken(1337);
        RandomSequence skipped(1337);
        std::vector<std::int32_t> values(4096);
        for (std::uint64_t left = count; left > 0;) {
            const int n = static_cast<int>(std::min<std::uint64_t>(left, values.size()));
            taken.fill(values.data(), n);
            left -= static_cast<std::uint64_t>(n);
        }
        skipped.skip(count);
        ASSERT_EQ(skipped.state(), taken.state()) << "count " << count;
        EXPECT_EQ(skipped.next(), taken.next());
    }
}

namespace {

// Takes `count` bounces the way paths do: a reservation, then the reserved ones.
void takeBounces(DrawStream& stream, int count, std::vector<int>& taken) {
    while (count > 0) {
        const int n = std::min(count, kMaxDepth + 1);
        stream.reserve(n);
        for (int k = 0; k < n; ++k) {
            taken.push_back(stream.nextReservedBounce());
        }
        count -= n;
    }
}

} // namespace

// What a stream holds and the generator's state carry it on elsewhere: a stream restored with
// them hands out the very bounces the first goes on to.
TEST(DrawStream, HeldBouncesAndTheGeneratorStateCarryAStreamOn) {
    RandomSource source;
    source.reseed(1337);
    DrawStream stream(source);
    for (int i = 0; i < 5000; ++i) {
        stream.nextBounce();
    }
    stream.reserve(7);
    RandomSource otherSource;
    otherSource.reseed(1);
    otherSource.setState(source.state());
    DrawStream other(otherSource);
    other.syncWithSource();
    other.holdBounces(stream.heldBounces());
    EXPECT_FALSE(stream.heldBounces().empty());
    for (int i = 0; i < 20 * DrawStream::kTriplesPerRun; ++i) {
        ASSERT_EQ(other.nextBounce(), stream.nextBounce()) << "bounce " << i;
    }
    // Both now hold the same, and the generators stand at the same place.
    EXPECT_EQ(other.heldBounces(), stream.heldBounces());
    EXPECT_EQ(otherSource.state(), source.state());
}

TEST(DrawStream, KnowsWhereTheValuesItsBouncesUsedEnd) {
    RandomSource source;
    source.reseed(7);
    const RandomSequence::State origin = source.state();
    DrawStream stream(source);
    stream.startAt(origin, 300);
    EXPECT_EQ(stream.usedEnd(), 300u);
    RandomSequence sequence(7);
    sequence.skip(300);
    int used = 300;
    for (int i = 0; i < 3 * DrawStream::kTriplesPerRun; ++i) {
        std::vector<int> taken;
        takeBounces(stream, 1 + i % 11, taken);
        for (int index : taken) {
            ASSERT_EQ(index, nextAcceptedIndex(sequence, &used));
        }
        ASSERT_EQ(stream.usedEnd(), static_cast<std::uint64_t>(used)) << "bounce " << i;
        ASSERT_EQ(stream.usedCount(), static_cast<std::uint64_t>(used - 300));
    }
}

namespace {

// Where a stream's values ended and the generator's state there.
struct PartEnd {
    std::uint64_t end;
    RandomSequence::State state;
};

// Takes `count` bounces a path's worth at a time, as a frame's top band does: where too few are
// held before the stream's stop, goes on after the next part's values and stops at the one after.
void takeBouncesPastParts(DrawStream& stream, int count, const std::vector<std::uint64_t>& starts,
                          const std::vector<PartEnd>& parts, std::size_t& passed,
                          std::vector<int>& taken) {
    while (count > 0) {
        const int n = std::min(count, kMaxDepth + 1);
        while (!stream.tryReserve(n)) {
            const PartEnd& part = parts[passed++];
            stream.goOnAt(part.end, part.state);
            stream.stopAt(passed < starts.size() ? starts[passed] : DrawStream::kNoStop);
        }
        for (int k = 0; k < n; ++k) {
            taken.push_back(stream.nextReservedBounce());
        }
        count -= n;
    }
}

} // namespace

// As in a two-worker frame: one stream takes parts from given positions, moving on from one to
// the next; another takes the values before the first position, stops there and goes on after
// each part, up to the next one's position.
TEST(DrawStream, StopsBeforeOtherPartsValuesAndGoesOnAfterThem) {
    RandomSource firstSource;
    RandomSource partSource;
    firstSource.reseed(11);
    const RandomSequence::State origin = firstSource.state();
    DrawStream first(firstSource);
    DrawStream parts(partSource);
    // The room after each part: a short stretch (the next part's bounces partly held already),
    // one longer than a run, and none.
    std::vector<std::uint64_t> starts;
    std::vector<PartEnd> ends;
    std::vector<std::vector<int>> partTaken(4);
    std::uint64_t start = 3 * 5000;
    for (std::uint64_t room : {3 * 100, 3 * 3000, 0, 0}) {
        starts.push_back(start);
        if (ends.empty()) {
            parts.startAt(origin, start);
        } else {
            parts.moveTo(start);
        }
        takeBounces(parts, 700, partTaken[ends.size()]);
        ends.push_back({parts.usedEnd(), parts.stateAtUsedEnd()});
        start = parts.usedEnd() + room;
    }
    first.startAt(origin, 0);
    first.stopAt(starts[0]);
    std::vector<int> firstTaken;
    std::size_t passed = 0;
    takeBouncesPastParts(first, 12000, starts, ends, passed, firstTaken);
    ASSERT_EQ(passed, starts.size());

    // The first stream's bounces are those of the stretches before each part and after the
    // last; each part's those of its own stretch.
    std::vector<DrawStretch> stretches;
    std::uint64_t from = 0;
    std::uint64_t skipped = 0;
    for (std::size_t part = 0; part < starts.size(); ++part) {
        stretches.push_back({from, starts[part]});
        from = ends[part].end;
        skipped += from - starts[part];
        const std::vector<std::uint16_t> expected =
            bouncesOf(origin, {{starts[part], ends[part].end}});
        EXPECT_EQ(std::vector<int>(expected.begin(), expected.end()), partTaken[part])
            << "part " << part;
    }
    stretches.push_back({from, first.usedEnd()});
    const std::vector<std::uint16_t> expected = bouncesOf(origin, stretches);
    EXPECT_EQ(std::vector<int>(expected.begin(), expected.end()), firstTaken);
    EXPECT_EQ(first.usedCount(), first.usedEnd() - skipped);
}

// A stream that waits takes nothing at its stop; any other call goes through it. A stream
// started anew forgets its stop: a stop of the frame before would keep a part's draws from going
// past it, and the frame would never end.
TEST(DrawStream, WaitsAtItsStopOnlyWhenAskedTo) {
    RandomSource source;
    source.reseed(3);
    DrawStream stream(source);
    stream.startAt(source.state(), 0);
    stream.stopAt(3 * 100);
    std::vector<int> taken;
    int held = 0;
    while (stream.tryReserve(held + 1)) {
        ++held;
    }
    EXPECT_GT(held, 50); // fewer than 100 triples, most of them accepted
    EXPECT_LT(held, 100);
    EXPECT_EQ(stream.stop(), 3u * 100);
    takeBounces(stream, 200, taken);
    EXPECT_EQ(stream.stop(), DrawStream::kNoStop);
    RandomSequence sequence(3);
    for (int index : taken) {
        ASSERT_EQ(index, nextAcceptedIndex(sequence));
    }
    EXPECT_EQ(stream.usedCount(), stream.usedEnd()); // nothing passed over
    stream.stopAt(3 * 1400);
    stream.startAt(source.state(), 3 * 1000);
    EXPECT_EQ(stream.stop(), DrawStream::kNoStop);
    int passed = 0;
    while (passed < 1000 && stream.tryReserve(1)) {
        stream.nextReservedBounce();
        ++passed;
    }
    EXPECT_EQ(passed, 1000);
}

TEST(RandomSequence, RewindingGoesBackToTheValuesBefore) {
    for (std::uint64_t count : {0ull, 1ull, 31ull, 1024ull, 1025ull, 5000ull}) {
        RandomSequence before(99);
        before.skip(7000);
        RandomSequence sequence = before;
        sequence.skip(count);
        sequence.rewind(count);
        ASSERT_EQ(sequence.state(), before.state()) << "count " << count;
    }
}
