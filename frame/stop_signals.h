// SPDX-License-Identifier: MIT
#pragma once

// Ctrl-C (SIGINT) and SIGTERM ask a program to stop once the frame being traced is done, instead
// of killing it mid-frame. A signal that was ignored when the program started (as for a job
// started with nohup) stays ignored.
//
// With `secondEndsAtOnce`, a SIGINT or SIGTERM after the first stop signal has its usual effect
// and ends the program at once. With `hangUpToo`, SIGHUP (a closed terminal) is a stop signal as
// well, and stays caught: closing a terminal sends it twice (once from the shell, once from the
// kernel as the session ends), which is not a user asking twice. Once it has come, SIGTTOU and
// SIGTTIN are ignored too, so that a line for the terminal that is gone never stops the program.
void catchStopSignals(bool secondEndsAtOnce, bool hangUpToo = false);

// While `interrupts`, a SIGINT or SIGTERM after the first (where `secondEndsAtOnce` would let it
// end the program) is caught again instead: it interrupts a wait on another process (a FIFO's
// reader that never comes), and the program goes on, as while its final files are saved. With
// false, the usual effect is back once a stop signal has come.
void secondStopInterrupts(bool interrupts);

// The number of the first stop signal received, or 0.
int stopSignal();
