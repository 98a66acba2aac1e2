// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

// An allocator for the large buffers a program fills before its first frame (each pixel's
// first hit, the accumulation buffer): where Linux backs memory with huge pages only when asked
// (transparent huge pages in "madvise" mode, as many systems set them), it asks, so that filling
// 8 MB takes a few page faults instead of two thousand. A page fault costs microseconds, more in
// a virtual machine, so a short render spent tens of milliseconds on them. Smaller buffers, and
// systems without the advice, get plain memory; where the advice is refused the pages are
// ordinary ones, so nothing here can fail but the allocation itself.
template <typename T> struct HugePageAllocator {
    using value_type = T;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    HugePageAllocator() = default;
    template <typename U> HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(std::size_t count) {
        if (count > (static_cast<std::size_t>(-1) - kHugePage) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kHugePage) {
            return static_cast<T*>(::operator new(bytes));
        }
        // Whole huge pages, aligned to one, so that every page of the buffer can be one.
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* memory = std::aligned_alloc(kHugePage, rounded);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        madvise(memory, rounded, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(memory);
    }

    void deallocate(T* memory, std::size_t count) {
        if (count * sizeof(T) < kHugePage) {
            ::operator delete(memory);
        } else {
            std::free(memory);
        }
    }
};

template <typename T, typename U>
bool operator==(const HugePageAllocator<T>&, const HugePageAllocator<U>&) {
    return true;
}
template <typename T, typename U>
bool operator!=(const HugePageAllocator<T>&, const HugePageAllocator<U>&) {
    return false;
}

// A growable array of such a buffer.
template <typename T> using HugePageVector = std::vector<T, HugePageAllocator<T>>;
