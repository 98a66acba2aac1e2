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

// Every form of the global operator new and delete is replaced, so that none of them pairs a
// replaced one with the run-time library's own (sanitizers' among them: GoogleTest's sorting takes
// the nothrow forms, and AddressSanitizer reports its new released by this free).
namespace {
void* plain(std::size_t size) {
    return std::malloc(size == 0 ? 1 : size);
}
// Over-aligned types (SIMD groups among them) take these.
void* aligned(std::size_t size, std::align_val_t alignment) {
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    return std::aligned_alloc(align, rounded == 0 ? align : rounded);
}
// The nothrow forms count as the others and answer null where those throw.
void* orNull(void* p) noexcept {
    try {
        return counted(p);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
} // namespace

void* operator new(std::size_t size) {
    return counted(plain(size));
}
void* operator new[](std::size_t size) {
    return counted(plain(size));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return orNull(plain(size));
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return orNull(plain(size));
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return counted(aligned(size, alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return counted(aligned(size, alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return orNull(aligned(size, alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return orNull(aligned(size, alignment));
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
