// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "scene/preconditions.h"
#include "scene/random_source.h"

// One thread's supply of bounce draws. A bounce takes three draws (z, y, then x grid digit);
// draws whose grid point is rejected are skipped here, so the stream hands out only the indices
// (100 z + 10 y + x digit) of accepted grid points, in sequence order. Values are taken from the
// stream's generator in runs of whole triples and are used in order, none dropped.
//
// Positions: a stream counts the values it has taken from its generator. Started at a position of
// a stretch of the sequence (startAt), it knows where every bounce it hands out ends, so a caller
// can tell which values of the stretch its draws used (usedEnd), and can make it stop before
// values another stream uses and go on after them (stopAt, tryReserve, goOnAt).
// How a run's values become accepted bounces: one triple at a time, or eight or sixteen at once
// with the vector instructions of x86-64 processors that have AVX2 or AVX-512. Streams take the
// last of the ways the processor has (acceptWaysHere, the plain way first); every way gives the
// same bounces.
enum class AcceptWay { OneAtATime, EightAtOnce, SixteenAtOnce };
std::vector<AcceptWay> acceptWaysHere();
// The bounces of `count` values' whole triples taken the given way (one acceptWaysHere lists:
// another may use instructions the processor lacks), stored in order from
// `bounces` on with the low 32 bits of the position just after each one's triple in `ends`
// (positions counted on from `end`): the number accepted. Up to count / 3 entries of each are
// written, the accepted ones first.
int acceptTriples(AcceptWay way, const std::int32_t* values, int count, std::uint32_t end,
                  std::uint16_t* bounces, std::uint32_t* ends);

class DrawStream {
  public:
    static constexpr int kTriplesPerRun = 1024;

    explicit DrawStream(RandomSource& source);

    // The grid index of the next accepted bounce.
    int nextBounce() {
        const int index = peekBounce();
        ++next_;
        return index;
    }

    // The grid index the next call of nextBounce will return, not yet used up.
    int peekBounce() {
        while (next_ == end_) {
            refill(true);
        }
        return current_.bounces[next_];
    }
    // Uses up the bounce peekBounce returned.
    void skipBounce() { ++next_; }

    // Makes sure the next `count` bounces (at most kMostReserved) are held, so that a path can
    // take them with the unchecked calls below without ever waiting for a run in its loop.
    // tryReserve takes no value at the stop or beyond: false when too few are held before it.
    // Every other call goes through a stop it reaches (and drops it).
    static constexpr int kMostReserved = 16;
    void reserve(int count) {
        while (end_ - next_ < count) {
            refill(true);
        }
    }
    int heldCount() const { return end_ - next_; }
    bool tryReserve(int count) {
        while (end_ - next_ < count) {
            if (!refill(false)) {
                return false;
            }
        }
        return true;
    }
    int nextReservedBounce() { return current_.bounces[next_++]; }
    int peekReservedBounce() const { return current_.bounces[next_]; }
    // The bounces held, in order (at least as many as reserved), and using up the first `count`.
    const std::uint16_t* reservedBounces() const { return current_.bounces + next_; }
    void useReserved(int count) { next_ += count; }

    // The most bounces a stream holds: the run in use with the bounces kept from the one before.
    // (holdBounces takes any number: they are used before the stream takes more.)
    static constexpr std::size_t kMostHeldNow = kMostReserved + kTriplesPerRun;

    // Drops values left from an earlier seeding of the generator.
    void syncWithSource();

    // The bounces taken from the generator but not yet used, in the order they will be; and a
    // stream made to hold exactly these (of the generator's current seeding) before it takes
    // more. Together with the generator's state they carry a stream on elsewhere.
    std::vector<std::uint16_t> heldBounces() const;
    void holdBounces(const std::vector<std::uint16_t>& bounces);

    // Drops every bounce held and sets the generator to `origin`, the state at position 0 of a
    // stretch of the sequence, moved on to `position` (a multiple of 3), where the stream goes on.
    void startAt(const RandomSequence::State& origin, std::uint64_t position);

    // The position just after the last value the bounces used so far took (rejected triples before
    // a bounce count as its own); the start position while none is used.
    std::uint64_t usedEnd() const { return next_ > 0 ? heldEnd(next_ - 1) : lastEnd_; }

    // The values the bounces used so far took, from the start position on, the stretches passed
    // over not counted: a stretch counts out once a bounce after it is used. (Passing over more
    // than four with no bounce used between them counts the oldest out early.)
    std::uint64_t usedCount() const {
        const std::uint64_t end = usedEnd();
        std::uint64_t skipped = settledSkipped_;
        for (int i = 0; i < pendingSkips_; ++i) {
            skipped += pending_[i].from < end ? pending_[i].count : 0;
        }
        return end - start_ - skipped;
    }

    // Drops every bounce held.
    void clear();

    // Takes no value at `position` (a multiple of 3, not behind the values taken) or beyond with
    // tryReserve, until the stop is dropped (noStop) or moved.
    static constexpr std::uint64_t kNoStop = std::numeric_limits<std::uint64_t>::max();
    void stopAt(std::uint64_t position) {
        PATHTRACER_EXPECTS(position % 3 == 0 && position >= taken_);
        stop_ = position;
    }
    std::uint64_t stop() const { return stop_; }
    // At the stop: goes on at `position`, further on, where the generator's state is `state`,
    // passing over the values between.
    void goOnAt(std::uint64_t position, const RandomSequence::State& state);

    // Starts again at `position` (a multiple of 3, not behind usedEnd): the bounces held that
    // lie before it are dropped, those after it kept.
    void moveTo(std::uint64_t position);

    // The generator's state at usedEnd(): where a stream that goes on after this one's values
    // starts.
    RandomSequence::State stateAtUsedEnd() const;

  private:
    struct Run {
        // A run's bounces, after the few a refill keeps from the run before, and the position
        // just after each one's triple (its low 32 bits).
        std::uint16_t bounces[kMostHeldNow];
        std::uint32_t ends[kMostHeldNow];
        int count = 0;
        unsigned generation = 0;
    };
    static constexpr int kValuesPerRun = 3 * kTriplesPerRun;

    // Takes bounces behind those held; false, with nothing taken, at the stop unless `passStop`.
    bool refill(bool passStop);
    // Where the triple of the bounce at `index` of the current run ends. Ends are kept to 32
    // bits; the bounces held lie less than 2^32 behind the values taken.
    std::uint64_t heldEnd(int index) const {
        return taken_ - static_cast<std::uint32_t>(static_cast<std::uint32_t>(taken_) -
                                                   current_.ends[index]);
    }
    // Turns `count` values, taken from position `start`, into the accepted bounces, stored from
    // bounces[first] on.
    static void acceptBounces(const std::int32_t* values, int count, std::uint64_t start, Run& run,
                              int first);

    // Bounces given to holdBounces beyond what one run holds, used before any new run.
    std::vector<std::uint16_t> restored_;
    std::size_t restoredNext_ = 0;

    RandomSource* source_;
    int next_ = 0;
    int end_ = 0;
    Run current_;

    std::uint64_t start_ = 0;   // the position startAt or moveTo set
    std::uint64_t taken_ = 0;   // position of the next value to take
    std::uint64_t lastEnd_ = 0; // usedEnd() while no bounce of the current run is used
    std::uint64_t stop_ = kNoStop;
    // Stretches passed over: counted out of usedCount once a bounce after them is used; before
    // that, held bounces from before them may still be used. Only the last few can be pending.
    struct Skip {
        std::uint64_t from;
        std::uint64_t count;
    };
    static constexpr int kMostPendingSkips = 4;
    Skip pending_[kMostPendingSkips];
    int pendingSkips_ = 0;
    std::uint64_t settledSkipped_ = 0;
    void settleSkips();
};
