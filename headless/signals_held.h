// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

#include <pthread.h>

// The calling thread's signal mask changed by `how` (SIG_BLOCK, SIG_UNBLOCK) with `signals` while
// it lives, and put back as it was when it goes.
class SignalMaskChanged {
  public:
    SignalMaskChanged(int how, const sigset_t& signals) {
        pthread_sigmask(how, &signals, &before_);
    }
    ~SignalMaskChanged() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalMaskChanged(const SignalMaskChanged&) = delete;
    SignalMaskChanged& operator=(const SignalMaskChanged&) = delete;

  private:
    sigset_t before_;
};

// Every catchable signal waits while it lives, and comes when it goes (unless an outer one still
// holds it).
class SignalsHeld : SignalMaskChanged {
  public:
    SignalsHeld() : SignalMaskChanged(SIG_BLOCK, all()) {}

  private:
    static sigset_t all() {
        sigset_t signals;
        sigfillset(&signals);
        return signals;
    }
};

// SIGINT, SIGTERM and SIGHUP come while it lives, inside a SignalsHeld too: for a wait on
// another process (a FIFO's reader, a device) that may never end, where a signal that ends the
// program at once can spoil nothing that holding it would keep whole.
class StopSignalsLet : SignalMaskChanged {
  public:
    StopSignalsLet() : SignalMaskChanged(SIG_UNBLOCK, stops()) {}

  private:
    static sigset_t stops() {
        sigset_t signals;
        sigemptyset(&signals);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&signals, signal);
        }
        return signals;
    }
};
