// SPDX-License-Identifier: MIT
#include "tracer/draws.h"

#include <algorithm>
#include <thread>

#include "tracer/bounce_table.h"

DrawStream::DrawStream(SharedRandom& source)
    : source_(&source), ahead_(kRunsAhead), ready_(kRunsAhead) {}

void DrawStream::syncWithSource() {
    const unsigned generation = source_->generation();
    std::lock_guard<std::mutex> lock(aheadMutex_);
    if (current_.generation != generation) {
        next_ = end_ = 0;
        restored_.clear();
        restoredNext_ = 0;
        current_.count = 0;
        current_.generation = generation;
    }
    // Called while no other thread takes runs for this stream, so every run held is ready.
    std::uint64_t used = aheadUsed_.load(std::memory_order_relaxed);
    const std::uint64_t taken = aheadTaken_.load(std::memory_order_relaxed);
    while (used != taken && ahead_[used % kRunsAhead].generation != generation) {
        ready_[used % kRunsAhead].store(false, std::memory_order_relaxed);
        ++used;
    }
    aheadUsed_.store(used, std::memory_order_relaxed);
    const std::size_t left = restored_.size() - restoredNext_;
    restoredRuns_ = (left + kTriplesPerRun - 1) / kTriplesPerRun;
}

void DrawStream::acceptBounces(const std::int32_t* values, Run& run, int first) {
    std::uint8_t digits[kValuesPerRun];
    for (int i = 0; i < kValuesPerRun; ++i) {
        digits[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(values[i]) % 10u);
    }
    run.count = 0;
    for (int i = 0; i < kValuesPerRun; i += 3) {
        const int index = digits[i] * 100 + digits[i + 1] * 10 + digits[i + 2];
        run.bounces[first + run.count] = static_cast<std::uint16_t>(index);
        run.count += gBounceTable.rejected[index] ? 0 : 1;
    }
}

bool DrawStream::takeRunAhead() {
    std::int32_t values[kValuesPerRun];
    std::uint64_t n = 0;
    unsigned generation = 0;
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        n = aheadTaken_.load(std::memory_order_relaxed);
        // Acquire: the owner is done with the slot it let go (its copy, its flag) before the
        // slot is written again.
        if (n - aheadUsed_.load(std::memory_order_acquire) + restoredRuns_ >= kRunsAhead) {
            return false;
        }
        generation = source_->take(values, kValuesPerRun);
        aheadTaken_.store(n + 1, std::memory_order_release);
    }
    const std::size_t slot = n % kRunsAhead;
    Run& run = ahead_[slot];
    acceptBounces(values, run, 0);
    run.generation = generation;
    ready_[slot].store(true, std::memory_order_release);
    return true;
}

// Rare (once per 1 024 triples), so kept out of the path loop that inlines everything else.
// Bounces not yet used stay in front of the new run. A run without an accepted triple (all but
// impossible) adds nothing, and the next is taken.
__attribute__((noinline)) void DrawStream::refill() {
    const int kept = end_ - next_;
    std::copy(current_.bounces + next_, current_.bounces + end_, current_.bounces);
    if (restoredNext_ < restored_.size()) {
        // Bounces held when the stream was restored come first, a run's worth at a time.
        const std::size_t count =
            std::min<std::size_t>(restored_.size() - restoredNext_, kTriplesPerRun);
        std::copy(restored_.begin() + restoredNext_, restored_.begin() + restoredNext_ + count,
                  current_.bounces + kept);
        restoredNext_ += count;
        next_ = 0;
        end_ = kept + static_cast<int>(count);
        return;
    }
    do {
        const std::uint64_t n = aheadUsed_.load(std::memory_order_relaxed);
        bool held = n != aheadTaken_.load(std::memory_order_acquire);
        if (!held) {
            // None held: the values are taken here, unless a run was taken ahead meanwhile.
            std::lock_guard<std::mutex> lock(aheadMutex_);
            held = n != aheadTaken_.load(std::memory_order_relaxed);
            if (!held) {
                std::int32_t values[kValuesPerRun];
                current_.generation = source_->take(values, kValuesPerRun);
                acceptBounces(values, current_, kept);
            }
        }
        if (held) {
            // Taken ahead by another thread, which may still be working out its bounces.
            const std::size_t slot = n % kRunsAhead;
            while (!ready_[slot].load(std::memory_order_acquire)) {
                std::this_thread::yield();
            }
            const Run& run = ahead_[slot];
            std::copy(run.bounces, run.bounces + run.count, current_.bounces + kept);
            current_.count = run.count;
            current_.generation = run.generation;
            ready_[slot].store(false, std::memory_order_relaxed);
            aheadUsed_.store(n + 1, std::memory_order_release);
            // The next run was written by the thread that took it ahead: fetched into this
            // core's cache now, its bounces are at hand when this run is used up. Not yet ready,
            // it is only fetched again.
            if (n + 1 != aheadTaken_.load(std::memory_order_relaxed)) {
                const auto* next =
                    reinterpret_cast<const char*>(ahead_[(n + 1) % kRunsAhead].bounces);
                for (std::size_t at = 0; at < sizeof(Run::bounces); at += 64) {
                    __builtin_prefetch(next + at);
                }
            }
        }
    } while (current_.count == 0);
    next_ = 0;
    end_ = kept + current_.count;
}

std::vector<std::uint16_t> DrawStream::heldBounces() const {
    std::vector<std::uint16_t> held(current_.bounces + next_, current_.bounces + end_);
    held.insert(held.end(), restored_.begin() + restoredNext_, restored_.end());
    const std::uint64_t taken = aheadTaken_.load(std::memory_order_acquire);
    for (std::uint64_t n = aheadUsed_.load(std::memory_order_relaxed); n != taken; ++n) {
        const Run& run = ahead_[n % kRunsAhead];
        held.insert(held.end(), run.bounces, run.bounces + run.count);
    }
    return held;
}

void DrawStream::holdBounces(const std::vector<std::uint16_t>& bounces) {
    std::lock_guard<std::mutex> lock(aheadMutex_);
    std::uint64_t used = aheadUsed_.load(std::memory_order_relaxed);
    for (const std::uint64_t taken = aheadTaken_.load(std::memory_order_relaxed); used != taken;
         ++used) {
        ready_[used % kRunsAhead].store(false, std::memory_order_relaxed);
    }
    aheadUsed_.store(used, std::memory_order_relaxed);
    // As many as a run holds go where a refill would have put them, so that a stream restored
    // with what another held takes its next run at the same point in the sequence.
    const std::size_t now = std::min<std::size_t>(bounces.size(), kMostReserved + kTriplesPerRun);
    std::copy(bounces.begin(), bounces.begin() + now, current_.bounces);
    next_ = 0;
    end_ = static_cast<int>(now);
    current_.count = end_;
    current_.generation = source_->generation();
    restored_.assign(bounces.begin() + now, bounces.end());
    restoredNext_ = 0;
    restoredRuns_ = (restored_.size() + kTriplesPerRun - 1) / kTriplesPerRun;
}
