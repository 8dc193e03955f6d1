// SPDX-License-Identifier: MIT
#pragma once
// stalled: listeners that stop reading after their first complete block, keeping their
// sockets open, beside as many that keep up, on a 16,000 bytes-per-second stream fed through
// the real pipeline. What the relay queues for the stalled ones (the tx_queue of its side of
// each connection in /proc/net/tcp), how long it keeps them, and that the others lose nothing.

#include "options.h"

// False when the run could not start or no listener received a stream byte: it has then
// printed why instead of figures.
bool run_stalled(const Config& config);
