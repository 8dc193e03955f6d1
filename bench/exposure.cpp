// SPDX-License-Identifier: MIT
#include "exposure.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "blocks.h"
#include "clocks.h"
#include "crowd.h"
#include "pipeline.h"
#include "report.h"
#include "scrape.h"
#include "source.h"

using namespace testkit;

namespace {

constexpr double LOCKOUT_RATE = 16000;
constexpr std::uint32_t LOCKOUT_PAYLOAD = 4000;
constexpr std::int64_t LISTENER_INTERVAL_NS = 500 * NS_PER_MS;
// The relay accepts one connection a pass; the silent ones are all in once it has logged them.
constexpr int ACCEPT_WAIT_MS = 10000;
constexpr std::uint64_t ACCEPTS_BEFORE_SILENT = 2;
constexpr std::uint64_t HOSTILE_RATE = 16000;

// A listener is admitted once the relay's whole response header has arrived.
bool admitted(const Listener& l) { return l.check.stream.phase != CHECK_RESPONSE; }

// ---- lockout ----

struct LockoutFigures {
    int silent_opened, silent_accepted;
    int tried, admitted, refused, dropped, damaged;
    double first_admitted_s;  // from the first silent connection; -1 when none was admitted
    double cpu_per_second;
};

// Opens the silent connections and waits until the relay has logged every one it took.
int fill_table(Relay* relay, int n, std::vector<int>* silent) {
    // The start-up probe's line and the source's come first; the relay may not have logged
    // them yet when the source's connect returns.
    wait_for(
        [&] {
            count_accepts(relay);
            return relay->accepted >= ACCEPTS_BEFORE_SILENT;
        },
        ACCEPT_WAIT_MS);
    std::uint64_t before = relay->accepted;
    for (int k = 0; k < n; ++k) {
        int fd = connect_nonblocking(relay->port);
        if (fd >= 0) silent->push_back(fd);
    }
    // A full table closes the rest at once, without a log line; they are counted as they go.
    std::int64_t deadline = now_ns() + ACCEPT_WAIT_MS * NS_PER_MS;
    std::uint64_t seen = before;
    while (now_ns() < deadline) {
        sleep_for_ms(100);
        count_accepts(relay);
        if (relay->accepted == seen && relay->accepted > before) break;  // no new accept in 100 ms
        seen = relay->accepted;
    }
    return static_cast<int>(relay->accepted - before);
}

LockoutFigures drive_lockout(const Config& c, Relay* relay, Source* source) {
    LockoutFigures f{};
    std::vector<int> silent;
    std::int64_t start = now_ns();
    f.silent_accepted = fill_table(relay, c.lockout_silent, &silent);
    f.silent_opened = static_cast<int>(silent.size());
    double cpu_before = cpu_seconds(relay->child.pid);
    std::int64_t measured_from = now_ns();
    auto tries = static_cast<std::size_t>(seconds_to_ns(c.lockout_seconds) / LISTENER_INTERVAL_NS);
    Crowd crowd = new_crowd(relay->port, tries);
    std::vector<bool> seen_admitted(crowd.listeners.size(), false);
    f.first_admitted_s = -1;
    std::int64_t next_join = now_ns();
    std::int64_t end = start + seconds_to_ns(c.lockout_seconds);
    for (std::int64_t now = now_ns(); now < end; now = now_ns()) {
        pace_source(source);
        if (static_cast<std::size_t>(f.tried) < crowd.listeners.size() && now >= next_join) {
            crowd_join(&crowd, static_cast<std::size_t>(f.tried++));
            next_join = now + LISTENER_INTERVAL_NS;
        }
        crowd_service(&crowd, 1);
        for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
            if (seen_admitted[k] || !admitted(crowd.listeners[k])) continue;
            seen_admitted[k] = true;
            if (f.first_admitted_s < 0) f.first_admitted_s = ns_to_seconds(now - start);
        }
    }
    f.cpu_per_second =
        (cpu_seconds(relay->child.pid) - cpu_before) / ns_to_seconds(now_ns() - measured_from);
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        if (l.state == IDLE) continue;
        if (!admitted(l)) {
            f.refused += was_dropped(l) ? 1 : 0;
            continue;
        }
        f.admitted += 1;
        f.dropped += was_dropped(l) ? 1 : 0;
        f.damaged += is_damaged(l.check) ? 1 : 0;
    }
    crowd_end(&crowd);
    for (int fd : silent) close(fd);
    return f;
}

Report lockout_report(const LockoutFigures& f) {
    Report rep =
        report_begin("lockout", "%d silent connections, then a listener every 0.5 s", {"silent"});
    add_count(&rep, "silent", f.silent_opened);
    add_count(&rep, "silent_accepted", f.silent_accepted);
    add_number(&rep, "first_admitted_s", f.first_admitted_s, 2);
    add_count(&rep, "listeners_tried", f.tried);
    add_count(&rep, "admitted", f.admitted);
    add_count(&rep, "turned_away", f.refused);
    add_count(&rep, "dropped_after_admission", f.dropped);
    add_count(&rep, "damaged", f.damaged);
    add_number(&rep, "cpu_per_second", f.cpu_per_second, 5);
    add_row(&rep, "silent connections accepted", "%10d", {"silent_accepted"});
    add_row(&rep, "first listener admitted after", "%10.1f s (from the first silent one)",
            {"first_admitted_s"});
    add_row(&rep, "listeners tried / admitted", "%10d / %d (%d turned away)",
            {"listeners_tried", "admitted", "turned_away"});
    add_row(&rep, "admitted, then dropped / damaged", "%10d / %d",
            {"dropped_after_admission", "damaged"});
    add_row(&rep, "server CPU seconds per second", "%10.4f", {"cpu_per_second"});
    return rep;
}

// ---- hostile ----

struct HostileFigures {
    int listeners, dropped, damaged;
    int attempts, closed_by_relay;
    std::size_t refused_lines;
    std::size_t producer_connections;  // feedsend's connects: 1 while it was never cut off
    std::uint64_t stream_bytes;
};

HostileFigures drive_hostile(const Config& c, PipelineRun* p) {
    HostileFigures f{};
    Crowd crowd = new_crowd(p->relay.port, static_cast<std::size_t>(c.hostile_listeners));
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) crowd_join(&crowd, k);
    std::vector<int> intruders;
    std::int64_t interval = seconds_to_ns(c.hostile_seconds) / c.hostile_attempts;
    std::int64_t next = now_ns() + interval;
    std::int64_t end = now_ns() + seconds_to_ns(c.hostile_seconds) + NS_PER_SECOND;
    for (std::int64_t now = now_ns(); now < end; now = now_ns()) {
        if (f.attempts < c.hostile_attempts && now >= next) {
            f.attempts += 1;
            int fd = intrude(p->relay.port);
            if (fd >= 0) intruders.push_back(fd);
            next = now + interval;
        }
        f.closed_by_relay += reap_intruders(&intruders);
        crowd_service(&crowd, 1);
    }
    for (int fd : intruders) close(fd);
    f.listeners = static_cast<int>(crowd.listeners.size());
    for (const Listener& l : crowd.listeners) {
        f.dropped += was_dropped(l) ? 1 : 0;
        f.damaged += is_damaged(l.check) ? 1 : 0;
    }
    f.stream_bytes = crowd_stream_bytes(crowd);
    crowd_end(&crowd);
    f.refused_lines = count_of(stderr_of(p->relay.child), "source refused: ");
    f.producer_connections = count_of(stderr_of(p->pipeline.feedsend), "Connecting...Done.");
    return f;
}

Report hostile_report(const HostileFigures& f) {
    Report rep = report_begin(
        "hostile",
        std::string("%d listeners of a %d bytes/s pipeline, %d attempts from ") + HOSTILE_ADDRESS,
        {"listeners", "rate", "attempts"});
    add_count(&rep, "listeners", f.listeners);
    add_count(&rep, "attempts", f.attempts);
    add_count(&rep, "closed_by_relay", f.closed_by_relay);
    add_count(&rep, "refused_lines", f.refused_lines);
    add_count(&rep, "dropped", f.dropped);
    add_count(&rep, "damaged", f.damaged);
    add_count(&rep, "producer_connections", f.producer_connections);
    add_count(&rep, "stream_bytes", f.stream_bytes);
    add_table_number(&rep, "rate", HOSTILE_RATE);
    add_row(&rep, "attempts closed by the relay", "%10d (%d logged as refused)",
            {"closed_by_relay", "refused_lines"});
    add_row(&rep, "listeners dropped / damaged", "%10d / %d", {"dropped", "damaged"});
    add_row(&rep, "producer connections", "%10d (1: never cut off)", {"producer_connections"});
    return rep;
}

// ---- the metrics port's watchers ----

constexpr char HEALTH_REQUEST[] = "GET /health HTTP/1.0\r\n\r\n";
constexpr char METRICS_REQUEST[] = "GET /metrics HTTP/1.0\r\n\r\n";
constexpr char RELOADS_TOTAL[] = "relayhub_reloads_total";
constexpr char WINDOW_BYTES[] = "relayhub_window_bytes";
// The relay closes an idle connection a second after its accept; looked at every 10 ms, the
// connections are held all but a hundredth of the time.
constexpr std::int64_t HOLD_LOOK_NS = 10 * NS_PER_MS;

// Opens held connections until there are as many as the watch holds, or a connect fails.
void hold_idle(HealthWatch* w) {
    while (w->held.size() < static_cast<std::size_t>(w->idle)) {
        int fd = connect_nonblocking(w->port);
        if (fd < 0) return;
        w->held.push_back(fd);
    }
}

void end_check(HealthWatch* w, bool answered) {
    w->checks += 1;
    if (!answered) return;
    w->answered += 1;
    if (w->check.answer.rfind("HTTP/1.0 200", 0) == 0) w->live += 1;
    w->answer_ms.push_back(ns_to_ms(now_ns() - w->check.begun_ns));
}

// The reload being timed: the next scrape once the last one has ended, and whether an answer
// shows the reload.
void time_reload(ReloadWatch* w) {
    if (w->ask.fd < 0) begin_ask(&w->ask, w->port, METRICS_REQUEST);
    if (w->ask.fd < 0 || step_ask(&w->ask, RELOAD_LIMIT_MS) != ASK_ANSWERED) return;
    w->scrapes += 1;
    Scrape answer = parse_scrape(w->ask.answer);
    auto reloads = answer.samples.find(RELOADS_TOTAL);
    if (reloads == answer.samples.end() || reloads->second <= w->reloads_total) return;
    w->reload_ms.push_back(ns_to_ms(now_ns() - w->signalled_ns));
    w->seen += 1;
    w->reloads_total = reloads->second;
    w->signalled_ns = 0;
    auto window = answer.samples.find(WINDOW_BYTES);
    if (window != answer.samples.end() && window->second < w->window_bytes_min) {
        w->window_bytes_min = window->second;
    }
}

}  // namespace

void begin_ask(MetricsAsk* ask, int port, const char* request) {
    ask->fd = connect_nonblocking(port);
    ask->request = request;
    ask->asked = false;
    ask->begun_ns = now_ns();
    ask->answer.clear();
    if (ask->fd >= 0) step_ask(ask, INT32_MAX);  // loopback completes the connect at once
}

AskState step_ask(MetricsAsk* ask, int limit_ms) {
    AskState state = ASK_PENDING;
    pollfd p{ask->fd, static_cast<short>(ask->asked ? POLLIN : POLLOUT), 0};
    if (poll(&p, 1, 0) == 1 && !ask->asked) {
        // A few dozen bytes into an empty send buffer: taken whole, or the connect failed.
        auto size = static_cast<ssize_t>(std::strlen(ask->request));
        ask->asked =
            send(ask->fd, ask->request, static_cast<std::size_t>(size), MSG_NOSIGNAL) == size;
        if (!ask->asked) state = ASK_FAILED;
    } else if (p.revents != 0) {
        char bytes[4096];
        ssize_t r = recv(ask->fd, bytes, sizeof bytes, 0);
        if (r > 0) {
            ask->answer.append(bytes, static_cast<std::size_t>(r));
        } else if (r == 0 || errno != EAGAIN) {
            state = r == 0 && !ask->answer.empty() ? ASK_ANSWERED : ASK_FAILED;
        }
    }
    if (state == ASK_PENDING && now_ns() - ask->begun_ns > limit_ms * NS_PER_MS) state = ASK_FAILED;
    if (state != ASK_PENDING) end_ask(ask);
    return state;
}

void end_ask(MetricsAsk* ask) {
    if (ask->fd >= 0) close(ask->fd);
    ask->fd = -1;
}

HealthWatch watch_health(int port, int idle) {
    HealthWatch w{};
    w.port = port;
    w.idle = idle;
    w.check.fd = -1;
    hold_idle(&w);
    return w;
}

void health_step(HealthWatch* w, bool checking) {
    std::int64_t now = now_ns();
    if (now >= w->next_hold_ns) {
        w->idle_closed += static_cast<std::uint64_t>(reap_intruders(&w->held));
        hold_idle(w);
        w->next_hold_ns = now + HOLD_LOOK_NS;
    }
    if (w->check.fd >= 0) {
        AskState state = step_ask(&w->check, HEALTH_LIMIT_MS);
        if (state != ASK_PENDING) end_check(w, state == ASK_ANSWERED);
    }
    if (!checking || w->check.fd >= 0 || now < w->next_check_ns) return;
    begin_ask(&w->check, w->port, HEALTH_REQUEST);
    w->next_check_ns = now + HEALTH_INTERVAL_MS * NS_PER_MS;
    if (w->check.fd < 0) end_check(w, false);  // not even a connect: unanswered
}

void end_health_watch(HealthWatch* w) {
    for (int fd : w->held) close(fd);
    w->held.clear();
    end_ask(&w->check);
}

ReloadWatch watch_reloads(pid_t pid, int port, double period_seconds) {
    ReloadWatch w{};
    w.pid = pid;
    w.port = port;
    w.period_ns = seconds_to_ns(period_seconds);
    w.next_ns = now_ns() + w.period_ns;
    w.ask.fd = -1;
    w.window_bytes_min = INFINITY;
    return w;
}

bool reload_step(ReloadWatch* w, bool reloads) {
    std::int64_t now = now_ns();
    if (w->signalled_ns == 0 && reloads && now >= w->next_ns) {
        kill(w->pid, SIGUSR2);
        w->asked += 1;
        w->signalled_ns = now;
        w->next_ns = now + w->period_ns;
    }
    if (w->signalled_ns == 0) return false;
    time_reload(w);
    if (w->signalled_ns != 0 && now - w->signalled_ns > RELOAD_LIMIT_MS * NS_PER_MS) {
        end_ask(&w->ask);
        w->signalled_ns = 0;  // not seen: lost
    }
    return w->signalled_ns != 0;
}

void end_reload_watch(ReloadWatch* w) { end_ask(&w->ask); }

int intrude(int port) {
    int fd = connect_nonblocking(port, HOSTILE_ADDRESS);
    if (fd < 0) return -1;
    std::string evil;
    for (std::uint32_t k = 0; k < 2; ++k) {
        evil += block_header(400, k);
        for (int n = 0; n < 100; ++n) evil += "EVIL";
    }
    // Loopback completes the connect at once; a send before that fails and is tried again.
    for (int tries = 0; tries < 100; ++tries) {
        if (send(fd, evil.data(), evil.size(), MSG_NOSIGNAL) > 0) return fd;
        sleep_for_ms(1);
    }
    close(fd);
    return -1;
}

int reap_intruders(std::vector<int>* fds) {
    // One poll for all of them: only a socket it names can have been closed.
    std::vector<pollfd> looked;
    for (int fd : *fds) looked.push_back(pollfd{fd, POLLIN, 0});
    if (poll(looked.data(), looked.size(), 0) <= 0) return 0;
    int closed = 0;
    fds->clear();
    for (const pollfd& p : looked) {
        if (p.revents != 0 && wait_closed(p.fd, 0)) {
            close(p.fd);
            closed += 1;
        } else {
            fds->push_back(p.fd);
        }
    }
    return closed;
}

bool run_lockout(const Config& c) {
    Relay relay;
    Source source;
    if (!start_source_run(c.relayhub, LOCKOUT_RATE, LOCKOUT_PAYLOAD, "lockout", &relay, &source,
                          relay_options(c))) {
        return false;
    }
    LockoutFigures f = drive_lockout(c, &relay, &source);
    stop_relay(&relay);
    close_source(&source);
    return end_run(lockout_report(f), f.admitted > 0 ? nullptr : "no listener was admitted");
}

bool run_hostile(const Config& c) {
    PipelineRun p{};
    PipelineSetup setup{c.blockframe, c.feedsend, 0, HOSTILE_RATE};
    // Only the producer's address may feed it, as on a relay that the public can reach.
    if (!start_pipeline_run(c.relayhub, setup, c.pipeline_warmup_seconds, "hostile", &p,
                            relay_options(c, {"-s", "127.0.0.1"}))) {
        return false;
    }
    HostileFigures f = drive_hostile(c, &p);
    stop_pipeline_run(&p);
    return end_run(hostile_report(f), f.stream_bytes > 0 ? nullptr : NO_STREAM_BYTE);
}
