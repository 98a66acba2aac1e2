// SPDX-License-Identifier: MIT
#include "headless/progress.h"

#include <cstdio>
#include <string>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::string clock(double seconds) {
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    }
    return text;
}

} // namespace

Progress::Progress(long long total)
    : shown_(isatty(STDERR_FILENO) == 1), sharesTerminal_(shown_ && isatty(STDOUT_FILENO) == 1),
      total_(total), start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

void Progress::beforeOutput() {
    if (sharesTerminal_) {
        beforeMessage();
    }
}

void Progress::beforeMessage() {
    if (drawn_) {
        // Back to the start of the line and clear it.
        std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }
}

void Progress::update(long long done) {
    const auto now = std::chrono::steady_clock::now();
    if (!shown_ || (done < total_ && drawn_ && now - lastDraw_ < std::chrono::milliseconds(250))) {
        return;
    }
    lastDraw_ = now;
    draw(done);
}

void Progress::draw(long long done) {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string line = "frame " + std::to_string(done) + " of " + std::to_string(total_) + ", " +
                       clock(elapsed) + " elapsed";
    if (done > 0 && done < total_) {
        line += ", about " +
                clock(elapsed / static_cast<double>(done) * static_cast<double>(total_ - done)) +
                " left";
    }
    // Short of the last column, so that the terminal never wraps it onto a line of its own.
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 &&
        line.size() >= size.ws_col) {
        line.resize(size.ws_col - 1u);
    }
    std::fputs(("\r\033[K" + line).c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    beforeMessage();
    shown_ = false;
}
