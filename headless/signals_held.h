// SPDX-License-Identifier: MIT
#pragma once

#include <csignal>

#include <pthread.h>

// Every catchable signal waits while it lives, and comes when it goes (unless an outer one still
// holds it).
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t before_;
};

// SIGINT, SIGTERM and SIGHUP come while it lives, inside a SignalsHeld too: for a wait on
// another process (a FIFO's reader, a device) that may never end, where a signal that ends the
// program at once can spoil nothing that holding it would keep whole.
class StopSignalsLet {
  public:
    StopSignalsLet() {
        sigset_t stops;
        sigemptyset(&stops);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&stops, signal);
        }
        pthread_sigmask(SIG_UNBLOCK, &stops, &before_);
    }
    ~StopSignalsLet() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    StopSignalsLet(const StopSignalsLet&) = delete;
    StopSignalsLet& operator=(const StopSignalsLet&) = delete;

  private:
    sigset_t before_;
};
