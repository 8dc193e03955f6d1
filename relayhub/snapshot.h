// SPDX-License-Identifier: MIT
#pragma once
// snapshot: what the metrics port's answers are made from, one floor below it: the relay's
// figures taken at one moment from the counters, the table and the window, the health reason
// they give, and the bounded text an answer is printed into. Every answer of a pass reads one
// of these; nothing here is kept between answers.

#include <cstdint>

#include "metrics.h"
#include "process_figures.h"

// A stream whose newest complete block is older than this is not live: the health answer is 503.
constexpr std::uint32_t STREAM_LIVE_MS = 10000;

// Everything an answer reports, gathered at one moment.
struct Snapshot {
    std::uint32_t listeners, sources, pending;
    std::uint32_t connections_max;  // the table's records, the listening socket's included
    std::uint32_t window_bytes;
    std::uint64_t accepted, table_full, pending_timeouts, sources_refused;
    std::uint64_t source_bytes, blocks, listener_bytes, metrics_refused, reloads;
    std::uint64_t dropped[DROP_REASONS];
    double start_time_seconds;   // wall clock, since the epoch
    double wall_seconds;         // wall clock when the snapshot was taken, since the epoch
    double source_idle_seconds;  // since the last source byte, or since the start before any
    double block_idle_seconds;   // since the last complete block, or since the start before any
    bool any_source_byte;        // since the start
    bool live;                   // a complete block within STREAM_LIVE_MS
    ProcessFigures process;      // read only for a metrics answer
};

// The figures as they stand in the pass whose clock reading is now_ms; the process's own are
// left zero, for the one answer that reads them.
Snapshot take_snapshot(std::uint32_t now_ms);

// printf into a text that stops growing, and remembers it overflowed, once it is full.
struct Text {
    char* out;
    std::uint32_t size;
    std::uint32_t length;
    bool overflowed;
};
__attribute__((format(printf, 2, 3))) void append(Text* t, const char* format, ...);

// Why the stream is or is not live, in one line without its end: "live" while a complete
// block has reached the window within STREAM_LIVE_MS, otherwise "no source yet" (no source has
// sent a byte), "no source byte for N s" (the source has gone quiet), or "no complete block
// for N s" (what it sends frames no block). Seconds are whole, rounded down.
void append_health(const Snapshot& s, Text* t);
