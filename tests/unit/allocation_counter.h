// SPDX-License-Identifier: MIT
#pragma once

// Counts the calls of operator new, plain and aligned (replaced for the whole test program),
// between the two calls.
void startCountingAllocations();
int stopCountingAllocations();
