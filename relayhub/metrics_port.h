// SPDX-License-Identifier: MIT
#pragma once
// metrics_port: the second listening socket (-m), at the top of the house beside the poll
// loop. It reads a snapshot of the counters, the table and the window and answers three
// requests. GET /metrics: always 200, with the counters, the table's and the window's state and
// the process's own figures in the text exposition format, so a relay whose stream is down is
// still seen. GET /health: 200 "live" while a complete block has reached the window within
// STREAM_LIVE_MS, 503 and why otherwise, for load balancers. Anything else: 404.
//
// Scrapes have a table of their own, so a scrape never takes a record a listener needs, and
// connections that are held open without a request can never keep a fresh check out: when the
// table is full the newcomer takes the place of the scrape that has waited longest.

#include <cstdint>

// A stream whose newest complete block is older than this is not live: the health answer is 503.
constexpr std::uint32_t STREAM_LIVE_MS = 10000;
// Scrapes being read at once. Each holds a descriptor and a request buffer; the relay's
// descriptor budget counts them when -m is given. A load balancer and a scraper or two need a
// handful; the rest is room for connections that send nothing, which are then pushed out
// before they could fill it.
constexpr std::uint32_t METRICS_SCRAPES_MAX = 256;
// A scrape is answered once its request header has ended, it has sent this much, or its peer
// has closed after a whole request line; only its request line is read, for the path.
constexpr std::uint32_t METRICS_REQUEST_MAX = 2048;
// A scrape that has sent nothing this long after its accept is closed; one that has sent part
// of a request is answered as it stands.
constexpr std::uint32_t METRICS_REQUEST_LIMIT_MS = 1000;

// Opens the metrics socket on address (host byte order) and port and watches it; false with
// errno set as the failed call left it.
bool open_metrics(std::uint32_t address, int port);
// Once per pass, after the table's: accepts the scrapes that wait (up to METRICS_SCRAPES_MAX),
// reads every one that has something to read, answers each whose request has ended with one
// send and closes it, and closes those that sent nothing in time. Nothing without -m.
void serve_metrics(std::uint32_t now_ms);
