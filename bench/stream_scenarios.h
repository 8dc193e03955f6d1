// SPDX-License-Identifier: MIT
#pragma once
// stream_scenarios: the scenarios in which the benchmark plays the source itself, so that only
// the relay stands between the source and the listeners. cap: one listener served from a full
// window; steady: a 16,000 bytes-per-second stream to many listeners; storm: the same while
// other clients open and close connections as fast as the relay takes them; ceiling: the
// highest rate at which a full table of listeners all stay, and what a pass then costs. Each
// prints a table and one JSON line.

#include <cstddef>
#include <cstdint>

#include "clocks.h"
#include "crowd.h"
#include "options.h"

// Listeners of the benchmark's own source join a step apart: 12 ms, about one relay pass, so
// that the accept queue does not count as the relay's delay. Up to JOIN_STEPS listeners join
// one a step; a larger crowd joins in at most JOIN_STEPS steps, as many a step as that takes
// (4 for 1,000, 8 for 2,000), so that its joining takes about 3 seconds however large it is.
constexpr std::int64_t JOIN_INTERVAL_NS = 12 * testkit::NS_PER_MS;
constexpr std::size_t JOIN_STEPS = 254;
// The steps a crowd of count listeners joins in.
std::size_t join_steps(std::size_t count);
// One step: joins the next listeners of the crowd's first count, from *joined on.
void join_step(testkit::Crowd* crowd, std::size_t count, std::size_t* joined);

// Each returns false when the scenario could not run or no listener received a stream byte:
// it has then printed why instead of figures.
bool run_cap(const Config& config);
bool run_steady(const Config& config, int listeners);
bool run_storm(const Config& config);
bool run_ceiling(const Config& config);
