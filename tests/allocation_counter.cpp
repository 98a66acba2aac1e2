// SPDX-License-Identifier: MIT
#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> gCounting{false};
std::atomic<int> gAllocations{0};

// Counts one allocation while counting, and hands out the memory or throws as operator new must.
void* counted(void* p) {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
} // namespace

void startCountingAllocations() {
    gAllocations = 0;
    gCounting = true;
}

int stopCountingAllocations() {
    gCounting = false;
    return gAllocations.load();
}

void* operator new(std::size_t size) {
    return counted(std::malloc(size == 0 ? 1 : size));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

// Over-aligned types (SIMD groups among them) take these.
void* operator new(std::size_t size, std::align_val_t alignment) {
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    return counted(std::aligned_alloc(align, rounded == 0 ? align : rounded));
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
