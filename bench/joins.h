// SPDX-License-Identifier: MIT
#pragma once
// joins: listeners that come and go while the relay is fed through the real `blockframe -t |
// feedsend` pipeline. Each joins at a random moment, reads as fast as bytes arrive for 1.5 s
// and closes; what counts is how old the first complete block it gets is, whether the relay
// drops it although it keeps up, and whether its stream is whole. One run per rate and block
// size, each with a table and a JSON line.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "options.h"

// Each of count listeners' join moments, ns after the start, drawn at random within
// spread_seconds, in order; the seed is fixed, so every run draws the same moments.
std::vector<std::int64_t> join_moments(std::size_t count, double spread_seconds);

// False when a run could not start or no listener received a stream byte: it has then
// printed why instead of that run's figures. The other runs go ahead.
bool run_joins(const Config& config);
