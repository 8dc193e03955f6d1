// SPDX-License-Identifier: MIT
#pragma once
// metrics: what an operator can see of a running relay. Plain counters, bumped by the poll loop
// and the players as things happen, and a second listening socket (-m) that answers two
// requests. GET /metrics: always 200, with the counters, the table's and the window's state and
// the process's own figures in the text exposition format, so a relay whose stream is down is
// still seen. GET /health: 200 "live" while a source byte has arrived within STREAM_LIVE_MS,
// 503 and why otherwise, for load balancers. Anything else: 404. Scrapes have a small table of
// their own, so a scrape never takes a record a listener needs, and at most one is answered
// per pass.

#include <cstdint>

#include "process_figures.h"

// A stream whose last source byte is older than this is not live: the health answer is 503.
constexpr std::uint32_t STREAM_LIVE_MS = 10000;
// Scrapes being read at once; more wait in the socket's backlog until one is answered.
constexpr std::uint32_t METRICS_CLIENTS_MAX = 4;
// A scrape is answered once its request header has ended, it has sent this much, or this
// long after its accept, whichever comes first; only its request line is read, for the path.
constexpr std::uint32_t METRICS_REQUEST_MAX = 2048;
constexpr std::uint32_t METRICS_REQUEST_LIMIT_MS = 1000;

// Why the relay closed a listener.
enum DropReason : std::uint32_t {
    DROP_BEHIND = 0,  // the window dropped bytes it had not been sent
    DROP_SEND = 1,    // a send failed or took nothing (its socket was full)
    DROP_CUT = 2,     // bytes it was sent were cut away or discarded
    DROP_REASONS = 3,
};

// Everything the answer reports, gathered at one moment.
struct MetricsSnapshot {
    std::uint32_t listeners, sources, pending;
    std::uint32_t connections_max;  // the table's records, the listening socket's included
    std::uint32_t window_bytes;
    std::uint64_t accepted, table_full, pending_timeouts, sources_refused;
    std::uint64_t source_bytes, listener_bytes;
    std::uint64_t dropped[DROP_REASONS];
    double start_time_seconds;   // wall clock, since the epoch
    double source_idle_seconds;  // since the last source byte, or since the start before any
    bool any_source_byte;        // since the start
    bool live;                   // a source byte within STREAM_LIVE_MS
    ProcessFigures process;      // read only for a metrics answer
};

// The counters. now_ms is the pass's monotonic clock reading, which the loop hands over once
// per pass with note_pass.
void note_pass(std::uint32_t now_ms);
void count_accepted();
void count_table_full();
void count_pending_timeout();
void count_source_refused();
void count_source_bytes(std::uint32_t n);
void count_listener_bytes(std::uint32_t n);
void count_listener_dropped(DropReason reason);

// Opens the metrics socket on address (host byte order) and port; false with errno set as the
// failed call left it. Also takes the start time.
bool open_metrics(std::uint32_t address, int port);
// Once per pass: accepts at most one scrape, reads each waiting one once, answers at most one
// that is ready, with one send, and closes it. Nothing when no metrics socket is open.
void serve_metrics(std::uint32_t now_ms);
