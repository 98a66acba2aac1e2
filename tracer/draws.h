// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "scene/shared_random.h"

// One thread's supply of bounce draws. A bounce takes three draws (z, y, then x grid digit);
// draws whose grid point is rejected are skipped here, so the stream hands out only the indices
// (100 z + 10 y + x digit) of accepted grid points, in sequence order. Values are taken from the
// shared generator in runs of whole triples and are used in order, none dropped.
//
// Another thread may take runs for the stream ahead of time (takeRunAhead): a worker that has
// finished its own band prepares the draws of the other, which then only traces. Runs are taken
// and used in one order, so the stream's values still come from the generator in sequence.
class DrawStream {
  public:
    static constexpr int kTriplesPerRun = 1024;
    static constexpr int kRunsAhead = 1024;

    explicit DrawStream(SharedRandom& source);

    // The grid index of the next accepted bounce.
    int nextBounce() {
        const int index = peekBounce();
        ++next_;
        return index;
    }

    // The grid index the next call of nextBounce will return, not yet used up.
    int peekBounce() {
        if (next_ == end_) {
            refill();
        }
        return current_.bounces[next_];
    }
    // Uses up the bounce peekBounce returned.
    void skipBounce() { ++next_; }

    // Makes sure the next `count` bounces (at most kMostReserved) are held, so that a path can
    // take them with the unchecked calls below without ever waiting for a run in its loop.
    static constexpr int kMostReserved = 16;
    void reserve(int count) {
        while (end_ - next_ < count) {
            refill();
        }
    }
    int nextReservedBounce() { return current_.bounces[next_++]; }
    int peekReservedBounce() const { return current_.bounces[next_]; }

    // The most bounces a stream ever holds: the run in use with the bounces kept from the one
    // before, and kRunsAhead more runs, taken ahead or restored (takeRunAhead counts the runs'
    // worth of restored bounces not yet used against its limit).
    static constexpr std::size_t kMostHeld =
        kMostReserved + kTriplesPerRun + std::size_t{kRunsAhead} * kTriplesPerRun;

    // Takes one more run for later use; false when the runs held ahead are at their limit.
    // Safe to call from another thread while the stream's owner draws.
    bool takeRunAhead();

    // Drops values left from an earlier seeding of the generator.
    void syncWithSource();

    // The bounces taken from the generator but not yet used, in the order they will be, runs
    // taken ahead included; and a stream made to hold exactly these (of the generator's current
    // seeding) before it takes more. Together with the generator's state they carry a stream on
    // elsewhere. Call while no other thread takes runs for it.
    std::vector<std::uint16_t> heldBounces() const;
    void holdBounces(const std::vector<std::uint16_t>& bounces);

  private:
    struct Run {
        // A run's bounces, after the few a refill keeps from the run before.
        std::uint16_t bounces[kMostReserved + kTriplesPerRun];
        int count = 0;
        unsigned generation = 0;
    };
    static constexpr int kValuesPerRun = 3 * kTriplesPerRun;

    void refill();
    // Turns a run's values into the accepted bounces, stored from bounces[first] on.
    static void acceptBounces(const std::int32_t* values, Run& run, int first);

    // Bounces given to holdBounces beyond what one run holds, used before any new run.
    std::vector<std::uint16_t> restored_;
    std::size_t restoredNext_ = 0;

    SharedRandom* source_;
    int next_ = 0;
    int end_ = 0;
    Run current_;
    // Runs taken ahead, in a ring: run n (counted from the stream's start) in slot
    // n % kRunsAhead. aheadMutex_ is held while values are taken from the generator, for the
    // ring or by the owner itself, so that runs are used in the order their values were taken.
    // A run taken ahead has its bounces worked out after the lock is let go, and `ready_` tells
    // the owner they are there. The owner takes a run from the ring without the lock (only it
    // moves aheadUsed_ on), so that another thread filling the ring never holds it up; it takes
    // the lock only when the ring is empty, to take the values itself in their turn.
    // Each on a cache line of its own: the two threads write them.
    alignas(64) std::mutex aheadMutex_;
    alignas(64) std::atomic<std::uint64_t> aheadTaken_{0};
    alignas(64) std::atomic<std::uint64_t> aheadUsed_{0};
    std::vector<Run> ahead_;
    std::vector<std::atomic<bool>> ready_;
    // The runs' worth of restored bounces left at the start of the frame, which count against
    // kRunsAhead (set between frames only).
    std::uint64_t restoredRuns_ = 0;
};
