// SPDX-License-Identifier: MIT
#pragma once
// poll_loop: the server's clock. Each pass asks once which sockets have something to read,
// then visits every record of the connection table once, in table order: the listener accepts
// the connections that wait, every other record with something to read gets one read, which is
// handed to the players module's data step, and every record with nothing goes to the idle
// step; the loop alone decides that a record is torn down. The metrics port is served last.
// The loop sits at the top of the house, beside the metrics port; nothing below calls back
// into it.

#include <cstdint>

// A pass begins every POLL_PERIOD_MS (at once after one that took longer): each record gets
// one read per period, and each listener one piece, so a listener's ceiling is 1460 bytes per
// 10 ms, 146,000 bytes per second, however many records a pass visits.
constexpr std::uint32_t POLL_PERIOD_MS = 10;
// A connection that is neither a source nor a listener this long after its accept is closed:
// a request needs a moment, not minutes, and 255 connections that never finish one would
// otherwise hold every record for good and lock listeners out.
constexpr std::uint32_t PENDING_LIMIT_MS = 10000;
// Connections accepted in one pass at most. Each costs the pass its accept, its log line, a
// buffer, a watch and a first read, under 30 us on the benchmark's machine, so 32 add at most
// about a millisecond to a 10 ms pass, while a burst of 250 listeners arriving at once (an edge
// shed by the front, its listeners all reconnecting) gets its records within 8 passes, 80 ms,
// instead of 2.5 s.
constexpr std::uint32_t ACCEPTS_PER_PASS_MAX = 32;

// Passes for ever, one every POLL_PERIOD_MS.
[[noreturn]] void run_poll_loop();
