// SPDX-License-Identifier: MIT
#pragma once
// exposure: what a relay facing the public meets. lockout: connections that send nothing fill
// the table while listeners keep trying, one every half second; how long until the first is
// admitted, and whether any admitted listener is dropped. hostile: a producer streams through
// the real pipeline to listeners while another local address tries again and again to become
// the source; whether any foreign byte reaches a listener and whether the producer is cut off.

#include "options.h"

// Each is false when its run could not start or no listener received a stream byte: it has
// then printed why instead of figures.
bool run_lockout(const Config& config);
bool run_hostile(const Config& config);
