// SPDX-License-Identifier: MIT
#include "frame/stop_signals.h"

#include <csignal>
#include <cstring>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t gStopSignal = 0;
volatile std::sig_atomic_t gSecondEndsAtOnce = 0;
// Which of SIGINT, SIGTERM and SIGHUP are caught here (one ignored at start is left alone for
// good).
volatile std::sig_atomic_t gCaughtInt = 0;
volatile std::sig_atomic_t gCaughtTerm = 0;
volatile std::sig_atomic_t gCaughtHup = 0;

void requestStop(int signal) {
    if (gStopSignal == 0) {
        gStopSignal = signal;
    }
    if (gSecondEndsAtOnce != 0) {
        // Back to the usual effect for every one that is caught (sigaction may be called in a
        // handler); an ignored one stays ignored.
        struct sigaction usual;
        std::memset(&usual, 0, sizeof usual);
        usual.sa_handler = SIG_DFL;
        sigemptyset(&usual.sa_mask);
        if (gCaughtInt != 0) {
            sigaction(SIGINT, &usual, nullptr);
        }
        if (gCaughtTerm != 0) {
            sigaction(SIGTERM, &usual, nullptr);
        }
        if (gCaughtHup != 0) {
            sigaction(SIGHUP, &usual, nullptr);
        }
    }
}

} // namespace

void catchStopSignals(bool secondEndsAtOnce, bool hangUpToo) {
    gSecondEndsAtOnce = secondEndsAtOnce ? 1 : 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (signal == SIGHUP && !hangUpToo) {
            continue;
        }
        struct sigaction previous;
        sigaction(signal, nullptr, &previous);
        if (previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        (signal == SIGINT ? gCaughtInt : signal == SIGTERM ? gCaughtTerm : gCaughtHup) = 1;
    }
}

int stopSignal() {
    return gStopSignal;
}
