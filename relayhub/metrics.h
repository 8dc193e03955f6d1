// SPDX-License-Identifier: MIT
#pragma once
// metrics: the relay's counters, on the ground floor of the house. The poll loop, the players
// and the metrics port bump them as things happen; the metrics port reads them when it
// answers. Nothing here opens a socket or formats a text.

#include <cstdint>

#include "handover.h"

// Why the relay closed a listener.
enum DropReason : std::uint32_t {
    DROP_BEHIND = 0,  // the window dropped bytes it had not been sent
    DROP_SEND = 1,    // a send failed or took nothing (its socket was full)
    DROP_CUT = 2,     // bytes it was sent were cut away or discarded
    DROP_REASONS = 3,
};

// Everything counted since the start. Times are monotonic_ms() readings of the pass in which
// the thing happened.
struct Counters {
    std::uint64_t accepted, table_full, pending_timeouts, sources_refused;
    std::uint64_t source_bytes;  // every byte a source sent, framed or not
    std::uint64_t blocks;        // complete blocks added to the window
    std::uint64_t listener_bytes;
    std::uint64_t dropped[DROP_REASONS];
    std::uint64_t metrics_refused;  // scrapes closed to make room for a newer one
    std::uint64_t reloads;          // reloads into a new program that took this state
    bool any_source_byte, any_block;
    std::uint32_t last_source_byte_ms, last_block_ms;
    std::uint32_t started_ms;   // the start, on the same clock
    double start_time_seconds;  // the start, wall clock since the epoch
};

// The counters as they stand.
const Counters& counters();

// Takes the start time; main calls it once, before the loop.
void note_start();
// The pass's monotonic clock reading, which the loop hands over once per pass, so that the
// counters that keep a time need no clock of their own.
void note_pass(std::uint32_t now_ms);
void count_accepted();
void count_table_full();
void count_pending_timeout();
void count_source_refused();
void count_source_bytes(std::uint32_t n);
// n complete blocks (0 or more) were added to the window.
void count_blocks(std::uint64_t n);
void count_listener_bytes(std::uint32_t n);
void count_listener_dropped(DropReason reason);
void count_metrics_refused();

// The counters' section of a reload's state image, times as ages at now_ms, so that they go on
// in the next program from where they were and the start stays the first start.
void put_counters(HandoverImage& image, std::uint32_t now_ms);
// Reads a section written by put_counters and counts the reload; false (the counters as at a
// fresh start) when it is cut short.
bool take_counters(HandoverReader& reader, std::uint32_t now_ms);
// Every counter back to zero, after a state image was refused; the start is taken afresh.
void forget_counters();
