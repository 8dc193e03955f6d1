// SPDX-License-Identifier: MIT
#pragma once
// burst: a crowd of listeners that all come within a second, as after a link goes out and its
// listeners reconnect at once. The benchmark's own source feeds the relay; what counts is how
// long a listener waits from its connect for the relay's answer and for its first stream byte,
// whether any is turned away, and whether all then keep up. A table and one JSON line.

#include "options.h"

// False when the run could not start or no listener received a stream byte: it has then
// printed why instead of figures.
bool run_burst(const Config& config);
