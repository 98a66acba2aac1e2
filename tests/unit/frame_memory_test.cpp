// SPDX-License-Identifier: MIT
// What frames allocate, counted by replacing every form of new and delete.
#include <cstdint>
#include <fstream>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "fixtures.h"
#include "frame/frame.h"
#include "frame/huge_pages.h"
#include "frame/image.h"
#include "test_support.h"

#include "allocation_counter.h"

class FrameMemory : public FreshWorld {};

TEST_F(FrameMemory, NoAllocationPerFrameBeyondTheTwoWorkers) {
    traceFrame(FrameMode::TwoWorkers); // builds what every later frame reuses
    for (FrameMode mode : {FrameMode::Sequential, FrameMode::TwoWorkers}) {
        startCountingAllocations();
        traceFrame(mode);
        EXPECT_LE(stopCountingAllocations(), mode == FrameMode::TwoWorkers ? 2 : 0);
    }
}

namespace {
// A pointer the compiler must take as used, so that no pair of new and delete is left out.
void* volatile gEscaped;
template <typename T> T* kept(T* p) {
    gEscaped = p;
    return p;
}
} // namespace

// The counter replaces every form of new and delete: one left to the run-time library (or a
// sanitizer's) would count nothing, or pair its memory with the counter's free.
TEST_F(FrameMemory, TheCounterSeesEveryFormOfNew) {
    struct alignas(64) Wide {
        float lanes[16];
    };
    const std::vector<std::pair<const char*, void (*)()>> forms = {
        {"new", [] { delete kept(new int); }},
        {"new[]", [] { delete[] kept(new int[3]); }},
        {"nothrow new", [] { delete kept(new (std::nothrow) int); }},
        {"nothrow new[]", [] { delete[] kept(new (std::nothrow) int[3]); }},
        {"aligned new", [] { delete kept(new Wide); }},
        {"aligned new[]", [] { delete[] kept(new Wide[3]); }},
        {"aligned nothrow new", [] { delete kept(new (std::nothrow) Wide); }},
        {"aligned nothrow new[]", [] { delete[] kept(new (std::nothrow) Wide[3]); }},
        {"nothrow delete",
         [] {
             void* p = ::operator new(8, std::nothrow);
             ::operator delete(p, std::nothrow);
         }},
        {"aligned nothrow delete[]",
         [] {
             void* p = ::operator new[](8, std::align_val_t{64}, std::nothrow);
             ::operator delete[](p, std::align_val_t{64}, std::nothrow);
         }},
    };
    for (const auto& [name, allocate] : forms) {
        startCountingAllocations();
        allocate();
        EXPECT_EQ(stopCountingAllocations(), 1) << name;
    }
}

// The buffers filled before the first frame take huge pages where the system gives them on
// request: filling one the accumulation buffer's size takes a few page faults, not one per 4 KiB.
TEST(HugePages, ALargeBufferFillsInAFewPageFaults) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's shadow memory takes page faults of its own";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "a sanitizer's shadow memory takes page faults of its own";
#endif
#endif
    if (kEmulated) {
        GTEST_SKIP() << "an emulator's page faults are its own";
    }
    std::string modes;
    std::getline(std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"), modes);
    if (modes.empty() || modes.find("[never]") != std::string::npos) {
        GTEST_SKIP() << "this system gives no huge pages";
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const HugePageVector<Vec3> buffer(kPixelCount); // every byte written, as zeros
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    constexpr long kSmallPages = kPixelCount * sizeof(Vec3) / 4096;
    EXPECT_LT(after.ru_minflt - before.ru_minflt, kSmallPages / 8);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % HugePageAllocator<Vec3>::kHugePage,
              0u);
}
