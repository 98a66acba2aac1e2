// SPDX-License-Identifier: MIT
#pragma once

// Ctrl-C (SIGINT) and SIGTERM ask a program to stop once the frame being traced is done, instead
// of killing it mid-frame. A signal that was ignored when the program started (as for a job
// started with nohup) stays ignored.
//
// With `secondEndsAtOnce`, only the first of them is caught: a second one has its usual effect
// and ends the program at once. With `hangUpToo`, SIGHUP (a closed terminal) is a stop signal as
// well.
void catchStopSignals(bool secondEndsAtOnce, bool hangUpToo = false);

// The number of the first stop signal received, or 0.
int stopSignal();
