// SPDX-License-Identifier: MIT
#include "tracer/draws.h"

#include <algorithm>

#include "scene/cpu_clones.h"
#include "scene/preconditions.h"
#include "tracer/bounce_table.h"

DrawStream::DrawStream(RandomSource& source) : source_(&source) {}

void DrawStream::syncWithSource() {
    const unsigned generation = source_->generation();
    if (current_.generation != generation) {
        next_ = end_ = 0;
        restored_.clear();
        restoredNext_ = 0;
        current_.count = 0;
        current_.generation = generation;
    }
}

// On x86-64, the accepted bounces are kept eight at a time with AVX2's shuffles, or sixteen at a
// time with AVX-512's compressing moves, where the processor has them (fastestAcceptWay),
// whatever the build's baseline.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define PATHTRACER_KEEPS_EIGHT_AT_ONCE __attribute__((target("avx2,popcnt")))
#define PATHTRACER_KEEPS_SIXTEEN_AT_ONCE __attribute__((target("avx512f,popcnt")))
#endif

#define PATHTRACER_ALWAYS_INLINE __attribute__((always_inline))

std::vector<AcceptWay> acceptWaysHere() {
    std::vector<AcceptWay> ways{AcceptWay::OneAtATime};
#ifdef PATHTRACER_KEEPS_EIGHT_AT_ONCE
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") != 0) {
        ways.push_back(AcceptWay::EightAtOnce);
    }
#endif
#ifdef PATHTRACER_KEEPS_SIXTEEN_AT_ONCE
    if (__builtin_cpu_supports("avx512f") != 0) {
        ways.push_back(AcceptWay::SixteenAtOnce);
    }
#endif
    return ways;
}

namespace {

AcceptWay fastestAcceptWay() {
    static const AcceptWay way = acceptWaysHere().back();
    return way;
}

// Every triple's grid index, in a loop the compiler vectorises: the first step of acceptTriples.
PATHTRACER_ALWAYS_INLINE inline void gridIndices(const std::int32_t* values, int triples,
                                                 std::uint16_t* indices) {
    for (int i = 0; i < triples; ++i) {
        indices[i] = static_cast<std::uint16_t>(
            gridIndex(values[3 * i], values[3 * i + 1], values[3 * i + 2]));
    }
}

// The accepted ones of `count` triples' grid indices kept, each bounce at the place the count so
// far gives (written whatever its fate, and written over by the next where rejected), with the
// position just after its triple, from `end` on: the number kept.
PATHTRACER_ALWAYS_INLINE inline std::size_t keepAccepted(const std::uint16_t* indices, int count,
                                                         std::uint32_t end, std::uint16_t* bounces,
                                                         std::uint32_t* ends) {
    std::size_t accepted = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint16_t index = indices[i];
        end += 3;
        bounces[accepted] = index;
        ends[accepted] = end;
        accepted += gBounceTable.rejected[index] ? 0 : 1;
    }
    return accepted;
}

#ifdef PATHTRACER_KEEPS_EIGHT_AT_ONCE
// For each set of accepted lanes of eight (bit k for lane k): those lanes in order, then lane 0.
struct CompactLanes {
    std::uint8_t lanes[256][8];
};
constexpr CompactLanes compactLanes() {
    CompactLanes table{};
    for (int mask = 0; mask < 256; ++mask) {
        int n = 0;
        for (int k = 0; k < 8; ++k) {
            if ((mask >> k & 1) != 0) {
                table.lanes[mask][n++] = static_cast<std::uint8_t>(k);
            }
        }
    }
    return table;
}
constexpr CompactLanes kCompactLanes = compactLanes();

// keepAccepted with the accepted bounces of eight triples at a time moved to the front of two
// registers (their indices, and the positions after them) and stored whole, where the one-at-a-
// time loop takes a dozen instructions per triple. A store writes up to seven values past the
// last one kept, which the next overwrites: within Run's arrays, as fewer than kMostReserved
// bounces are held before a run's (acceptBounces).
PATHTRACER_KEEPS_EIGHT_AT_ONCE std::size_t keepAcceptedEight(const std::uint16_t* indices,
                                                             int triples, std::uint32_t end,
                                                             std::uint16_t* bounces,
                                                             std::uint32_t* ends) {
    const __m256i steps = _mm256_setr_epi32(3, 6, 9, 12, 15, 18, 21, 24);
    std::size_t accepted = 0;
    int i = 0;
    for (; i + 8 <= triples; i += 8) {
        unsigned mask = 0;
        for (int k = 0; k < 8; ++k) {
            mask |= (gBounceTable.rejected[indices[i + k]] ? 0u : 1u) << k;
        }
        const __m128i lanes =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompactLanes.lanes[mask]));
        // Lane l of the sixteen-bit indices is bytes 2l and 2l + 1.
        const __m128i wide = _mm_cvtepu8_epi16(lanes);
        const __m128i bytes = _mm_or_si128(
            _mm_or_si128(_mm_slli_epi16(wide, 1), _mm_slli_epi16(wide, 9)), _mm_set1_epi16(0x0100));
        const __m128i kept =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(indices + i)), bytes);
        const __m256i keptEnds = _mm256_permutevar8x32_epi32(
            _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(end)), steps),
            _mm256_cvtepu8_epi32(lanes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bounces + accepted), kept);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(ends + accepted), keptEnds);
        accepted += static_cast<std::size_t>(__builtin_popcount(mask));
        end += 24;
    }
    return accepted +
           keepAccepted(indices + i, triples - i, end, bounces + accepted, ends + accepted);
}
#endif

#ifdef PATHTRACER_KEEPS_SIXTEEN_AT_ONCE
// Where lane j of sixteen triples finds its value `offset` (0 z, 1 y, 2 x), value 3j + offset of
// the 48: `firstTwo` picks it from the first two vectors of sixteen where it lies in them, and
// `third` keeps those lanes (j) and picks the rest from the third vector (16 + its place there).
struct TriplePicks {
    std::int32_t firstTwo[16];
    std::int32_t third[16];
};
constexpr TriplePicks triplePicks(int offset) {
    TriplePicks picks{};
    for (int j = 0; j < 16; ++j) {
        const int at = 3 * j + offset;
        picks.firstTwo[j] = at < 32 ? at : 0;
        picks.third[j] = at < 32 ? j : 16 + at - 32;
    }
    return picks;
}
constexpr TriplePicks kTriplePicks[3] = {triplePicks(0), triplePicks(1), triplePicks(2)};

// Sixteen 32-bit lanes and the same bits as eight 64-bit lanes, in GCC's and Clang's vector form:
// plain arithmetic on them compiles to AVX-512's instructions. (GCC 12's intrinsics for shifts and
// for the products below warn of an undefined value inside themselves; their forms with a mask,
// all lanes set, do not, and compile to the same instructions.)
using Lanes = std::uint32_t __attribute__((vector_size(64)));
using LanePairs = std::uint64_t __attribute__((vector_size(64)));
constexpr __mmask8 kAllPairs = 0xFF;
constexpr __mmask16 kAllLanes = 0xFFFF;

// Value `offset` of each of sixteen triples, in the triples' order.
PATHTRACER_KEEPS_SIXTEEN_AT_ONCE inline Lanes tripleValues(__m512i a, __m512i b, __m512i c,
                                                           int offset) {
    const TriplePicks& picks = kTriplePicks[offset];
    const __m512i firstTwo = _mm512_permutex2var_epi32(a, _mm512_loadu_si512(picks.firstTwo), b);
    return (Lanes)_mm512_permutex2var_epi32(firstTwo, _mm512_loadu_si512(picks.third), c);
}

// Each lane's value mod 10: the quotient is the product with 0xCCCCCCCD (about 2^35 / 10) shifted
// by 35, exact for every 32-bit value. The products come two lanes at a time (vpmuludq, the low
// 32 bits of each pair's halves), of the even lanes and of the odd ones.
PATHTRACER_KEEPS_SIXTEEN_AT_ONCE inline Lanes digits(Lanes values) {
    const __m512i magic = _mm512_set1_epi64(0xCCCCCCCDu);
    const LanePairs evens =
        (LanePairs)_mm512_maskz_mul_epu32(kAllPairs, (__m512i)values, magic) >> 35;
    const LanePairs odds =
        (LanePairs)_mm512_maskz_mul_epu32(kAllPairs, (__m512i)((LanePairs)values >> 32), magic) >>
        35;
    return values - (Lanes)(evens | odds << 32) * 10u;
}

// acceptTriples sixteen triples at a time, grid indices and all: each lane's fate read from
// BounceTable::acceptedBits held in two registers, and the accepted lanes' indices and positions
// moved to the front and stored whole. A store writes up to fifteen values past the last one
// kept, which the next overwrites: within the triples given, as with keepAcceptedEight.
PATHTRACER_KEEPS_SIXTEEN_AT_ONCE std::size_t keepAcceptedSixteen(const std::int32_t* values,
                                                                 int triples, std::uint32_t end,
                                                                 std::uint16_t* bounces,
                                                                 std::uint32_t* ends) {
    const Lanes steps = {3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33, 36, 39, 42, 45, 48};
    const __m512i bitsLow = _mm512_loadu_si512(gBounceTable.acceptedBits);
    const __m512i bitsHigh = _mm512_loadu_si512(gBounceTable.acceptedBits + 16);
    std::size_t accepted = 0;
    int i = 0;
    for (; i + 16 <= triples; i += 16) {
        const __m512i a = _mm512_loadu_si512(values + 3 * i);
        const __m512i b = _mm512_loadu_si512(values + 3 * i + 16);
        const __m512i c = _mm512_loadu_si512(values + 3 * i + 32);
        const Lanes indices = digits(tripleValues(a, b, c, 0)) * 100u +
                              digits(tripleValues(a, b, c, 1)) * 10u +
                              digits(tripleValues(a, b, c, 2));
        const Lanes words =
            (Lanes)_mm512_permutex2var_epi32(bitsLow, (__m512i)(indices >> 5), bitsHigh);
        const __mmask16 keep =
            _mm512_test_epi32_mask((__m512i)(words >> (indices & 31u)), _mm512_set1_epi32(1));
        const __m256i kept = _mm512_maskz_cvtepi32_epi16(
            kAllLanes, _mm512_maskz_compress_epi32(keep, (__m512i)indices));
        const __m512i keptEnds = _mm512_maskz_compress_epi32(keep, (__m512i)(steps + end));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bounces + accepted), kept);
        _mm512_storeu_si512(ends + accepted, keptEnds);
        accepted += static_cast<std::size_t>(__builtin_popcount(keep));
        end += 48;
    }
    const int rest = triples - i;
    std::uint16_t indices[16];
    gridIndices(values + 3 * i, rest, indices);
    return accepted + keepAccepted(indices, rest, end, bounces + accepted, ends + accepted);
}
#endif

// acceptTriples the ways that find the grid indices first, in a loop the compiler vectorises for
// the processor.
PATHTRACER_CLONED_FOR_CPUS int acceptIndexedTriples([[maybe_unused]] AcceptWay way,
                                                    const std::int32_t* values, int count,
                                                    std::uint32_t end, std::uint16_t* bounces,
                                                    std::uint32_t* ends) {
    const int triples = count / 3;
    std::uint16_t indices[DrawStream::kTriplesPerRun];
    gridIndices(values, triples, indices);
#ifdef PATHTRACER_KEEPS_EIGHT_AT_ONCE
    if (way == AcceptWay::EightAtOnce) {
        return static_cast<int>(keepAcceptedEight(indices, triples, end, bounces, ends));
    }
#endif
    return static_cast<int>(keepAccepted(indices, triples, end, bounces, ends));
}

} // namespace

int acceptTriples(AcceptWay way, const std::int32_t* values, int count, std::uint32_t end,
                  std::uint16_t* bounces, std::uint32_t* ends) {
    PATHTRACER_EXPECTS(count <= 3 * DrawStream::kTriplesPerRun);
#ifdef PATHTRACER_KEEPS_SIXTEEN_AT_ONCE
    if (way == AcceptWay::SixteenAtOnce) {
        return static_cast<int>(keepAcceptedSixteen(values, count / 3, end, bounces, ends));
    }
#endif
    return acceptIndexedTriples(way, values, count, end, bounces, ends);
}

void DrawStream::acceptBounces(const std::int32_t* values, int count, std::uint64_t start, Run& run,
                               int first) {
    PATHTRACER_EXPECTS(first < kMostReserved && count <= kValuesPerRun);
    run.count = acceptTriples(fastestAcceptWay(), values, count, static_cast<std::uint32_t>(start),
                              run.bounces + first, run.ends + first);
}

// Rare (once per 1 024 triples), so kept out of the path loop that inlines everything else.
// Bounces not yet used stay in front of the new run. A run without an accepted triple (all but
// impossible, or a few values before the stop) adds nothing, and the next is taken.
__attribute__((noinline)) bool DrawStream::refill(bool passStop) {
    const bool restoring = restoredNext_ < restored_.size();
    if (!restoring && taken_ == stop_) {
        if (!passStop) {
            return false;
        }
        stop_ = kNoStop;
    }
    lastEnd_ = usedEnd();
    const int kept = end_ - next_;
    std::copy(current_.bounces + next_, current_.bounces + end_, current_.bounces);
    std::copy(current_.ends + next_, current_.ends + end_, current_.ends);
    next_ = 0;
    end_ = kept;
    if (restoredNext_ < restored_.size()) {
        // Bounces held when the stream was restored come first, a run's worth at a time.
        const std::size_t count =
            std::min<std::size_t>(restored_.size() - restoredNext_, kTriplesPerRun);
        std::copy(restored_.begin() + restoredNext_, restored_.begin() + restoredNext_ + count,
                  current_.bounces + kept);
        std::fill(current_.ends + kept, current_.ends + kept + count,
                  static_cast<std::uint32_t>(taken_));
        restoredNext_ += count;
        end_ = kept + static_cast<int>(count);
        return true;
    }
    settleSkips();
    do {
        const int count = static_cast<int>(std::min<std::uint64_t>(kValuesPerRun, stop_ - taken_));
        std::int32_t values[kValuesPerRun];
        current_.generation = source_->take(values, count);
        acceptBounces(values, count, taken_, current_, kept);
        taken_ += static_cast<std::uint64_t>(count);
    } while (current_.count == 0 && taken_ != stop_);
    end_ = kept + current_.count;
    return true;
}

void DrawStream::goOnAt(std::uint64_t position, const RandomSequence::State& state) {
    PATHTRACER_EXPECTS(position % 3 == 0 && position >= taken_);
    source_->setState(state);
    settleSkips();
    if (pendingSkips_ == kMostPendingSkips) {
        // Only when stretch after stretch is passed over without a bounce used between them.
        settledSkipped_ += pending_[0].count;
        std::copy(pending_ + 1, pending_ + pendingSkips_, pending_);
        --pendingSkips_;
    }
    pending_[pendingSkips_++] = {taken_, position - taken_};
    taken_ = position;
}

void DrawStream::settleSkips() {
    const std::uint64_t end = usedEnd();
    int kept = 0;
    for (int i = 0; i < pendingSkips_; ++i) {
        if (pending_[i].from < end) {
            settledSkipped_ += pending_[i].count;
        } else {
            pending_[kept++] = pending_[i];
        }
    }
    pendingSkips_ = kept;
}

void DrawStream::moveTo(std::uint64_t position) {
    PATHTRACER_EXPECTS(position % 3 == 0 && position >= usedEnd());
    // Held bounces that end at or before the position lie before it: whole triples are taken
    // from position 0.
    int first = next_;
    while (first < end_ && heldEnd(first) <= position) {
        ++first;
    }
    next_ = first;
    if (next_ == end_ && taken_ < position) {
        RandomSequence sequence;
        sequence.setState(source_->state());
        sequence.skip(position - taken_);
        source_->setState(sequence.state());
        taken_ = position;
    }
    start_ = lastEnd_ = position;
    // usedEnd() must read the position until a bounce after it is used.
    std::copy(current_.bounces + next_, current_.bounces + end_, current_.bounces);
    std::copy(current_.ends + next_, current_.ends + end_, current_.ends);
    end_ -= next_;
    next_ = 0;
    settledSkipped_ = 0;
    pendingSkips_ = 0;
}

RandomSequence::State DrawStream::stateAtUsedEnd() const {
    RandomSequence sequence;
    sequence.setState(source_->state());
    sequence.rewind(taken_ - usedEnd());
    return sequence.state();
}

void DrawStream::startAt(const RandomSequence::State& origin, std::uint64_t position) {
    PATHTRACER_EXPECTS(position % 3 == 0);
    RandomSequence sequence;
    sequence.setState(origin);
    sequence.skip(position);
    source_->setState(sequence.state());
    current_.generation = source_->generation();
    clear();
    start_ = taken_ = lastEnd_ = position;
    stop_ = kNoStop;
    settledSkipped_ = 0;
    pendingSkips_ = 0;
}

void DrawStream::clear() {
    lastEnd_ = usedEnd();
    next_ = end_ = 0;
    current_.count = 0;
    restored_.clear();
    restoredNext_ = 0;
}

std::vector<std::uint16_t> DrawStream::heldBounces() const {
    std::vector<std::uint16_t> held(current_.bounces + next_, current_.bounces + end_);
    held.insert(held.end(), restored_.begin() + restoredNext_, restored_.end());
    return held;
}

void DrawStream::holdBounces(const std::vector<std::uint16_t>& bounces) {
    // As many as a run holds go where a refill would have put them, so that a stream restored
    // with what another held takes its next run at the same point in the sequence.
    const std::size_t now = std::min<std::size_t>(bounces.size(), kMostHeldNow);
    std::copy(bounces.begin(), bounces.begin() + now, current_.bounces);
    std::fill(current_.ends, current_.ends + now, static_cast<std::uint32_t>(taken_));
    next_ = 0;
    end_ = static_cast<int>(now);
    current_.count = end_;
    current_.generation = source_->generation();
    restored_.assign(bounces.begin() + now, bounces.end());
    restoredNext_ = 0;
}
