// SPDX-License-Identifier: MIT
#pragma once
// pipeline: the processes the tests and the benchmark run. relayhub on a loopback port, up and
// answering; the producer's side as the real `blockframe -t | feedsend @127.0.0.1 PORT`
// pipeline, two processes joined by a pipe; the relay's accepted connections and the send
// queues of its sockets. Every process started here is stopped by its pid.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

namespace testkit {

struct Relay {
    Child child;
    int port;
    std::size_t log_seen;    // bytes of its accept log counted so far
    std::uint64_t accepted;  // accept log lines counted so far
};

// Starts relayhub from path with the given options on port (0: a free one) and waits until it
// has accepted its start-up probe, logged it and closed its side, so that the next connection
// it accepts is the caller's. False when it did not come up within a few seconds (it is
// stopped then).
bool start_relay(const std::string& path, Relay* relay,
                 const std::vector<std::string>& options = {}, int port = 0);
void stop_relay(Relay* relay);
// Counts the accept log lines written since the last call into relay->accepted.
void count_accepts(Relay* relay);

struct PipelineSetup {
    std::string blockframe;  // path of the program
    std::string feedsend;    // path of the program
    std::uint32_t payload;   // blockframe -s; 0 leaves blockframe's default
    std::uint64_t rate;      // blockframe -r: bytes per second, headers included
};

struct Pipeline {
    Child blockframe;  // writes into the pipe
    Child feedsend;    // reads the pipe; its progress lines are in feedsend.err_path
};

// Starts `blockframe -t [-s payload] -r rate | feedsend @127.0.0.1 port`. False when either
// program is not executable or could not be started (nothing is left running then).
bool start_pipeline(const PipelineSetup& setup, int port, Pipeline* pipeline);
void stop_pipeline(Pipeline* pipeline);
// The relay and the pipeline that feeds it.
struct PipelineRun {
    Relay relay;
    Pipeline pipeline;
};

// Starts relayhub from relayhub_path with relay_options, then the pipeline, then lets the
// source run for warmup_seconds. False when either did not start, after printing why under the
// scenario's name; nothing is left running then.
bool start_pipeline_run(const std::string& relayhub_path, const PipelineSetup& setup,
                        double warmup_seconds, const char* name, PipelineRun* run,
                        const std::vector<std::string>& relay_options = {});
void stop_pipeline_run(PipelineRun* run);

// The byte count of feedsend's latest progress line: what it has sent on its connection so
// far. 0 before the first.
std::uint64_t feedsend_sent_bytes(const Pipeline& pipeline);

// The relay's side of one of its connections, as a line of /proc/net/tcp shows it.
struct RelaySocket {
    int peer_port;
    int state;               // the kernel's TCP state number: 1 established, 4 FIN-WAIT-1, ...
    std::uint64_t tx_queue;  // bytes written by the relay and not yet acknowledged by the peer
};
constexpr int TCP_STATE_ESTABLISHED = 1;
constexpr int TCP_STATE_TIME_WAIT = 6;
constexpr int TCP_STATE_CLOSE_WAIT = 8;  // the peer has closed, the relay not yet

// Every socket on 127.0.0.1 whose local port is relay_port: the relay's side of its
// connections (its listening socket, on 0.0.0.0, is not among them).
std::vector<RelaySocket> relay_sockets(int relay_port);
// The relay's socket towards peer_port, or nullptr. A socket in TIME-WAIT (left by an earlier
// connection from the same port) is taken only when there is no other.
const RelaySocket* find_relay_socket(const std::vector<RelaySocket>& sockets, int peer_port);

}  // namespace testkit
