// SPDX-License-Identifier: MIT
#include "headless/spare_memory.h"

#include <sys/mman.h>

bool SpareMemory::take(std::size_t bytes) {
    giveBack();
    void* mapping =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        return false;
    }
    mapping_ = mapping;
    bytes_ = bytes;
    return true;
}

void SpareMemory::giveBack() {
    if (mapping_ != nullptr) {
        munmap(mapping_, bytes_);
        mapping_ = nullptr;
        bytes_ = 0;
    }
}
