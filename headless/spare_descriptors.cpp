// SPDX-License-Identifier: MIT
#include "headless/spare_descriptors.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

int SpareDescriptors::take(int count) {
    held_.reserve(held_.size() + static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        // (The root folder is always there, and a handle that reaches it reads nothing.)
        const int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            const int reason = errno;
            giveBack();
            return reason;
        }
        held_.push_back(fd);
    }
    return 0;
}

void SpareDescriptors::giveBack() {
    for (const int fd : held_) {
        close(fd);
    }
    held_.clear();
}
