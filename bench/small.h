// SPDX-License-Identifier: MIT
#pragma once
// small: 112-byte blocks at 140,000 bytes per second through the real `blockframe -t |
// feedsend` pipeline, near the relay's ceiling of one 1460-byte piece per pass, for minutes,
// to two listeners that read as fast as bytes arrive. Whether they keep the source's rate, how
// far behind live they end, and whether the relay's CPU time per second creeps up meanwhile.

#include "options.h"

// False when the run could not start or no listener received a stream byte: it has then
// printed why instead of figures.
bool run_small(const Config& config);
