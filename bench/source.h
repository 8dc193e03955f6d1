// SPDX-License-Identifier: MIT
#pragma once
// source: a source played from inside the measuring process, for the benchmark's cap, steady,
// storm and lock-out scenarios, so that the relay alone stands between it and the listeners. It
// writes test blocks as `blockframe -t` does, paced to a rate.

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline.h"

namespace testkit {

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
// Queues at least bytes of blocks at once, ahead of the rate; the pacing then goes on as though
// they had been sent at it. pace_source hands them over before it queues another block.
void send_ahead(Source* source, std::uint64_t bytes);
void close_source(Source* source);

// Starts relayhub from relayhub_path with relay_options, then connects a source to it at rate
// in blocks of payload bytes. False when either did not come up, after printing why under the
// scenario's name; nothing is left running then.
bool start_source_run(const std::string& relayhub_path, double rate, std::uint32_t payload,
                      const char* name, Relay* relay, Source* source,
                      const std::vector<std::string>& relay_options = {});

}  // namespace testkit
