// SPDX-License-Identifier: MIT
#include "frame/stop_signals.h"

#include <csignal>
#include <cstring>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t gStopSignal = 0;
volatile std::sig_atomic_t gSecondEndsAtOnce = 0;
volatile std::sig_atomic_t gSecondInterrupts = 0;
// Which of SIGINT and SIGTERM are caught here (one ignored at start is left alone for good).
volatile std::sig_atomic_t gCaughtInt = 0;
volatile std::sig_atomic_t gCaughtTerm = 0;

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr); // (async-signal-safe: called in the handler too)
}

// `handler` for SIGINT and SIGTERM where they are caught here (async-signal-safe).
void setCaughtStopHandlers(void (*handler)(int)) {
    if (gCaughtInt != 0) {
        setHandler(SIGINT, handler);
    }
    if (gCaughtTerm != 0) {
        setHandler(SIGTERM, handler);
    }
}

void requestStop(int signal) {
    if (gStopSignal == 0) {
        gStopSignal = signal;
    }
    if (signal == SIGHUP) {
        // The terminal is gone: writing a line to it must not stop the program.
        setHandler(SIGTTOU, SIG_IGN);
        setHandler(SIGTTIN, SIG_IGN);
    }
    if (gSecondEndsAtOnce != 0 && gSecondInterrupts == 0) {
        // Back to the usual effect for SIGINT and SIGTERM where they are caught; an ignored one
        // stays ignored, and SIGHUP stays caught.
        setCaughtStopHandlers(SIG_DFL);
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
        setHandler(signal, requestStop);
        if (signal != SIGHUP) {
            (signal == SIGINT ? gCaughtInt : gCaughtTerm) = 1;
        }
    }
}

void secondStopInterrupts(bool interrupts) {
    gSecondInterrupts = interrupts ? 1 : 0;
    if (gSecondEndsAtOnce == 0) {
        return;
    }
    setCaughtStopHandlers(interrupts || gStopSignal == 0 ? requestStop : SIG_DFL);
}

int stopSignal() {
    return gStopSignal;
}
