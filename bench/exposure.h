// SPDX-License-Identifier: MIT
#pragma once
// exposure: what a relay facing the public meets. lockout: connections that send nothing fill
// the table while listeners keep trying, one every half second; how long until the first is
// admitted, and whether any admitted listener is dropped. hostile: a producer streams through
// the real pipeline to listeners while another local address tries again and again to become
// the source; whether any foreign byte reaches a listener and whether the producer is cut off.
// A health watch, for steady: connections that send nothing held on the metrics port while a
// load balancer's check of /health is timed.

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

// The address intruders connect from: Linux answers the whole of 127/8 on loopback, and a
// relay given `-s 127.0.0.1` lets only 127.0.0.1 feed it.
constexpr char HOSTILE_ADDRESS[] = "127.0.0.2";

// An intruder's attempt on the relay at port: two blocks of "EVIL" from HOSTILE_ADDRESS, sent
// once the connect is through. Returns the socket, to be kept open until the relay closes it,
// or -1.
int intrude(int port);
// Closes and takes out of *fds the intruders' sockets the relay has closed; returns how many.
int reap_intruders(std::vector<int>* fds);

// Idle connections held open on a relay's metrics port, each opened again as soon as the relay
// closes it, as a port scanner or a stuck agent would; and, while checking, GET /health every
// HEALTH_INTERVAL_MS, each timed from its connect to the end of the relay's answer (its close).
struct HealthWatch {
    int port;                   // the relay's metrics port
    int idle;                   // connections to hold open
    std::vector<int> held;      // owned: the idle connections open now
    std::uint64_t idle_closed;  // held connections the relay closed, each opened again
    std::int64_t next_hold_ns;  // monotonic: when the held ones are looked at next
    int check_fd;               // owned: the check under way, or -1
    bool asked;                 // its request has gone out
    std::int64_t check_begun_ns, next_check_ns;
    std::string answer;  // what has arrived of its answer
    int checks;          // checks ended, answered or not
    int answered;        // of them, those the relay answered within HEALTH_LIMIT_MS
    int live;            // of those, the answers "200"
    std::vector<double> answer_ms;
};
constexpr int HEALTH_INTERVAL_MS = 100;
constexpr int HEALTH_LIMIT_MS = 5000;  // a check unanswered this long has failed

// Opens idle connections to the metrics port at port; no check yet.
HealthWatch watch_health(int port, int idle);
// Opens again the held connections the relay has closed (every 10 ms) and, while checking, goes
// on with the check under way or begins the next one when it is due. Called every loop pass.
void health_step(HealthWatch* watch, bool checking);
// Closes every connection of the watch; a check under way is not counted.
void end_health_watch(HealthWatch* watch);

// Each is false when its run could not start or no listener received a stream byte: it has
// then printed why instead of figures.
bool run_lockout(const Config& config);
bool run_hostile(const Config& config);
