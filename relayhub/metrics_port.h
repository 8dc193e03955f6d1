// SPDX-License-Identifier: MIT
#pragma once
// metrics_port: the second listening socket (-m), at the top of the house beside the poll
// loop. It reads a snapshot of the counters, the table and the window and answers four
// requests. GET /metrics: always 200, with the counters, the table's and the window's state and
// the process's own figures in the text exposition format, so a relay whose stream is down is
// still seen. GET /health: 200 "live" while a complete block has reached the window within
// STREAM_LIVE_MS, 503 and why otherwise, for load balancers. GET /: always 200, the status page
// a person opens in a browser. Anything else: 404.
//
// Scrapes have a table of their own, so a scrape never takes a record a listener needs, and
// connections that are held open without a request can never keep a fresh check out: when the
// table is full the newcomer takes the place of the scrape that has waited longest.

#include <cstdint>

#include "handover.h"

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

// The metrics port's section of a reload's state image: its socket (-1 without -m) and every
// scrape in the order they came, each with its age at now_ms and its request bytes.
void put_metrics_port(HandoverImage& image, std::uint32_t now_ms);
// Reads a section written by put_metrics_port; the sockets are not looked at and not watched
// yet. False, with nothing taken, when a field is out of bounds.
bool take_metrics_port(HandoverReader& reader, std::uint32_t now_ms);
// Writes the metrics socket (-1 without one) and the scrapes' sockets to fds, which has room
// for 1 + METRICS_SCRAPES_MAX; returns how many scrapes there are.
std::uint32_t metrics_port_sockets(int* fds);
// Watches the metrics socket and the scrapes, once readiness is open, after take_metrics_port.
void watch_metrics_port();
// Forgets what take_metrics_port took, without closing anything, after a state image was
// refused.
void forget_metrics_port();
// Serves metrics on fd, an open listening socket (one kept across a reload), and watches it.
void adopt_metrics_socket(int fd);
