// SPDX-License-Identifier: MIT
#pragma once
// exposure: what a relay facing the public meets. lockout: connections that send nothing fill
// the table while listeners keep trying, one every half second; how long until the first is
// admitted, and whether any admitted listener is dropped. hostile: a producer streams through
// the real pipeline to listeners while another local address tries again and again to become
// the source; whether any foreign byte reaches a listener and whether the producer is cut off.
// For steady, watchers of the metrics port that never block the benchmark's loop: a health
// watch, connections that send nothing held there while a load balancer's check of /health is
// timed; and a reload watch, the relay reloaded in place at intervals and each reload timed.

#include <sys/types.h>

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

// One request on a relay's metrics port, step by step: the connect begun, the request sent once
// it is through, the answer read until the relay closes the connection.
struct MetricsAsk {
    int fd;  // owned: the request under way, or -1
    const char* request;
    bool asked;             // the request has gone out
    std::int64_t begun_ns;  // monotonic: when the connect began
    std::string answer;     // what has arrived of the answer
};
enum AskState : std::int32_t { ASK_PENDING = 1, ASK_ANSWERED = 2, ASK_FAILED = 3 };
// Begins request (a whole HTTP request) on the metrics port at port; ask->fd is -1 when not even
// a connect could begin.
void begin_ask(MetricsAsk* ask, int port, const char* request);
// Goes on with the request under way without waiting: ASK_PENDING while the answer is on its
// way; ASK_ANSWERED once the relay has closed after an answer, ASK_FAILED when it closed before
// one, the connect or the send failed, or limit_ms passed since the connect began. Either end
// closes the socket.
AskState step_ask(MetricsAsk* ask, int limit_ms);
void end_ask(MetricsAsk* ask);

// Idle connections held open on a relay's metrics port, each opened again as soon as the relay
// closes it, as a port scanner or a stuck agent would; and, while checking, GET /health every
// HEALTH_INTERVAL_MS, each timed from its connect to the end of the relay's answer (its close).
struct HealthWatch {
    int port;                   // the relay's metrics port
    int idle;                   // connections to hold open
    std::vector<int> held;      // owned: the idle connections open now
    std::uint64_t idle_closed;  // held connections the relay closed, each opened again
    std::int64_t next_hold_ns;  // monotonic: when the held ones are looked at next
    MetricsAsk check;           // the check under way, if any
    std::int64_t next_check_ns;
    int checks;    // checks ended, answered or not
    int answered;  // of them, those the relay answered within HEALTH_LIMIT_MS
    int live;      // of those, the answers "200"
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

// The relay reloaded in place every period while measuring, each reload timed from outside:
// SIGUSR2 to its pid, then GET /metrics on its metrics port, one request after the other, until
// an answer shows relayhub_reloads_total above the last count seen. The time is from the
// signal to the end of that answer. The relay answers a scrape in the pass its request ends,
// and the first answer after the reload may come from the next program's first pass or, when
// the request came in during that pass, its second: the time is the reload's up to one pass
// more, and the loop's own turn (about a millisecond) on top.
struct ReloadWatch {
    pid_t pid;
    int port;  // the relay's metrics port
    std::int64_t period_ns;
    std::int64_t next_ns;       // monotonic: when the next reload is due
    std::int64_t signalled_ns;  // monotonic: when the reload being timed was signalled, or 0
    MetricsAsk ask;             // the scrape under way while one is timed
    double reloads_total;       // the relay's count in the last answer that showed it
    int asked;                  // signals sent
    int seen;                   // reloads an answer showed within RELOAD_LIMIT_MS
    int scrapes;                // answers read while timing, those that showed no reload too
    double window_bytes_min;    // relayhub_window_bytes in the answers that showed a reload
    std::vector<double> reload_ms;
};
constexpr int RELOAD_LIMIT_MS = 5000;  // a reload not seen this long after its signal is lost

// The first reload a period after now.
ReloadWatch watch_reloads(pid_t pid, int port, double period_seconds);
// Called every loop pass: signals the next reload when due (only while reloads is true) and
// goes on with the timing of the one under way. True while a reload is being timed.
bool reload_step(ReloadWatch* watch, bool reloads);
// Closes the scrape under way; a reload being timed is not counted as seen.
void end_reload_watch(ReloadWatch* watch);

// Each is false when its run could not start or no listener received a stream byte: it has
// then printed why instead of figures.
bool run_lockout(const Config& config);
bool run_hostile(const Config& config);
