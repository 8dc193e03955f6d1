// SPDX-License-Identifier: MIT
#pragma once
// source: the benchmark's own source for the cap, steady and storm scenarios. It writes test
// blocks as `blockframe -t` does (sequence number and wall-clock send time, then filler) from
// inside the measuring process, so that the relay alone stands between it and the listeners.

#include <cstdint>
#include <string>

struct Source {
    int fd;               // owned: closed by close_source
    std::string pending;  // bytes the socket has not taken yet
    std::uint64_t bytes;  // bytes queued so far, headers included
    std::uint64_t next_sequence;
    std::int64_t started_ns;  // monotonic: the pacing counts from here
    double rate;              // bytes per second, headers included
    std::uint32_t payload;    // payload bytes per block, at least 16
};

// Connects a source to the relay at port within 3 seconds. False when no connection stood.
bool open_source(int port, double rate, std::uint32_t payload, Source* source);
// One test block, stamped with the wall clock now.
std::string test_block(std::uint64_t sequence, std::uint32_t payload);
// Hands the socket as much of the pending bytes as it takes now.
void flush_source(Source* source);
// Queues and flushes every block due by now at the source's rate.
void pace_source(Source* source);
void close_source(Source* source);
