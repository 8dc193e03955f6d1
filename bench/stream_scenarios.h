// SPDX-License-Identifier: MIT
#pragma once
// stream_scenarios: the scenarios in which the benchmark plays the source itself, so that only
// the relay stands between the source and the listeners. cap: one listener served from a full
// window; steady: a 16,000 bytes-per-second stream to many listeners; storm: the same while
// other clients open and close connections as fast as the relay takes them; ceiling: the
// highest rate at which a full table of listeners all stay, and what a pass then costs. Each
// prints a table and one JSON line.

#include "options.h"

// Each returns false when the scenario could not run or no listener received a stream byte:
// it has then printed why instead of figures.
bool run_cap(const Config& config);
bool run_steady(const Config& config, int listeners);
bool run_storm(const Config& config);
bool run_ceiling(const Config& config);
