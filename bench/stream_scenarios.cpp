// SPDX-License-Identifier: MIT
#include "stream_scenarios.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "clocks.h"
#include "crowd.h"
#include "figures.h"
#include "pipeline.h"
#include "source.h"

using namespace testkit;

namespace {

constexpr double PASS_CEILING = 146000.0;  // one 1460-byte piece per 10 ms pass
// cap: one block far larger than one listener can take in the measured time, all held at once.
constexpr std::uint32_t CAP_PAYLOAD = 8 * 1024 * 1024;
constexpr int CAP_FLUSH_TIMEOUT_MS = 3000;
// steady and storm: 128 kbit/s in blocks of a quarter second.
constexpr double STEADY_RATE = 16000;
constexpr std::uint32_t STEADY_PAYLOAD = 4000;
// Listeners join one a pass (10 ms and the pass's own time), so the accept queue does not
// count as the relay's delay; the first a moment after the source, once a block is held.
constexpr std::int64_t JOIN_INTERVAL_NS = 12 * NS_PER_MS;
constexpr std::int64_t FIRST_JOIN_NS = 300 * NS_PER_MS;
// storm: connections waiting to be accepted at a time; the accept log says how many went.
constexpr std::int64_t STORM_WAITING_MAX = 8;
// The accept log counts the start-up probe and the source besides the listeners.
constexpr std::uint64_t ACCEPTS_BEFORE_LISTENERS = 2;

// ---- cap ----

struct CapReading {
    double seconds;       // from the listener's first stream byte to the end
    std::uint64_t bytes;  // stream bytes received meanwhile
};

// Hands the pending bytes to the socket within CAP_FLUSH_TIMEOUT_MS.
void flush_within_timeout(Source* source) {
    std::int64_t deadline = now_ns() + CAP_FLUSH_TIMEOUT_MS * NS_PER_MS;
    while (!source->pending.empty() && now_ns() < deadline) {
        flush_source(source);
        usleep(1000);
    }
}

// Lets listener 0 read for the given time, measured from its first stream byte so that
// connecting does not count; seconds is 0 when no stream byte arrived.
CapReading read_at_full_speed(Crowd* crowd, double seconds) {
    std::int64_t end = now_ns() + seconds_to_ns(seconds);
    std::int64_t measure_start = 0;
    std::uint64_t at_start = 0;
    const Listener& l = crowd->listeners[0];
    while (now_ns() < end && is_open(l)) {
        crowd_service(crowd, 5);
        if (measure_start == 0 && l.check.stream_bytes > 0) {
            measure_start = now_ns();
            at_start = l.check.stream_bytes;
        }
    }
    if (measure_start == 0) return CapReading{0, 0};
    return CapReading{ns_to_seconds(now_ns() - measure_start), l.check.stream_bytes - at_start};
}

void print_cap(const CapReading& r, bool dropped, bool damaged, double cpu) {
    double rate = r.seconds > 0 ? static_cast<double>(r.bytes) / r.seconds : 0;
    std::printf("\ncap: one listener served from a full window\n");
    print_row("listener rate", "%12.0f bytes/s", rate);
    print_row("ratio to the pass ceiling", "%12.3f (ceiling 146,000 bytes/s)", rate / PASS_CEILING);
    print_row("listener dropped", "%12s", dropped ? "yes" : "no");
    print_row("stream damaged", "%12s", damaged ? "yes" : "no");
    JsonLine j = json_begin("cap");
    json_fixed(&j, "seconds", r.seconds, 2);
    json_fixed(&j, "bytes_per_second", rate, 0);
    json_fixed(&j, "ratio", rate / PASS_CEILING, 4);
    json_bool(&j, "dropped", dropped);
    json_fixed(&j, "server_cpu_seconds", cpu, 3);
    json_bool(&j, "damaged", damaged);
    json_print(j);
}

// ---- steady and storm ----

struct StreamResult {
    int listeners;
    int dropped;
    int dropped_at_join;  // within a second of the request
    std::uint64_t gaps;
    std::uint64_t bad;  // wrong response headers, lost framing, damaged blocks
    double first_p50, first_p99;
    double delay_p50, delay_p99, delay_max;
    std::uint64_t min_bytes, max_bytes, sent_bytes;
    double cpu_per_second;
    long peak_kib;
    std::uint64_t storm_done, refused;
    int fds_before, fds_after;
    long rss_before, rss_after;
    double seconds;
};

struct StreamRun {
    Relay relay;
    Source source;
    Crowd crowd;
    std::size_t joined;
    std::int64_t measure_from_ns;  // INT64_MAX until measuring begins
    std::int64_t measure_end_ns;   // INT64_MAX until known
    double cpu_at_start;
    std::uint64_t sent_at_start;
    std::vector<std::uint64_t> bytes_at_start;  // per listener
    int storm_total;                            // connections the storm opens, 0: no storm
    int storm_opened;
    std::vector<int> storm_fds;  // owned: opened since the last storm step
    StreamResult result;
};

void begin_measuring(const Config& c, StreamRun* run, std::int64_t now) {
    run->measure_from_ns = now;
    run->crowd.delays.from_wall_ns = wall_ns();
    run->cpu_at_start = cpu_seconds(run->relay.child.pid);
    run->sent_at_start = run->source.bytes;
    for (const Listener& l : run->crowd.listeners) {
        run->bytes_at_start.push_back(l.check.stream_bytes);
    }
    run->result.fds_before = testkit::open_fd_count(run->relay.child.pid);
    run->result.rss_before = testkit::resident_kib(run->relay.child.pid);
    if (run->storm_total == 0) run->measure_end_ns = now + seconds_to_ns(c.steady_seconds);
}

// Closes the storm's connections of the last step and opens more, as fast as the relay
// accepts them; once all have been accepted, measuring ends a second later.
void storm_step(StreamRun* run, std::int64_t now) {
    count_accepts(&run->relay);
    for (int fd : run->storm_fds) close(fd);
    run->storm_fds.clear();
    std::uint64_t others = ACCEPTS_BEFORE_LISTENERS + run->joined;
    std::int64_t storm_accepted =
        static_cast<std::int64_t>(run->relay.accepted) - static_cast<std::int64_t>(others);
    while (run->storm_opened < run->storm_total &&
           run->storm_opened < storm_accepted + STORM_WAITING_MAX) {
        int fd = connect_nonblocking(run->relay.port);
        run->storm_opened += 1;
        if (fd < 0) {
            run->result.refused += 1;
        } else {
            run->storm_fds.push_back(fd);
        }
    }
    bool all_accepted =
        run->relay.accepted >= static_cast<std::uint64_t>(run->storm_total) + others;
    if (run->storm_opened == run->storm_total && all_accepted && run->measure_end_ns == INT64_MAX) {
        run->measure_end_ns = now + NS_PER_SECOND;  // a second to tear the last ones down
    }
}

// The listeners' figures, once the relay has been stopped.
void collect_listeners(StreamRun* run) {
    StreamResult& res = run->result;
    res.min_bytes = UINT64_MAX;
    for (std::size_t k = 0; k < run->crowd.listeners.size(); ++k) {
        const Listener& l = run->crowd.listeners[k];
        const ListenerCheck& s = l.check;
        if (was_dropped(l)) res.dropped += 1;
        // Dropped within a second of its request: it joined at the window's oldest block just
        // before the next block's arrival dropped that block from the window.
        if (was_dropped(l) && l.closed_ns - l.request_ns < NS_PER_SECOND) res.dropped_at_join += 1;
        res.gaps += s.gaps;
        res.bad += s.bad;
        if (!was_dropped(l)) {  // the bytes of the listeners that stayed, against the bytes sent
            std::uint64_t got = s.stream_bytes - run->bytes_at_start[k];
            res.min_bytes = std::min(res.min_bytes, got);
            res.max_bytes = std::max(res.max_bytes, got);
        }
    }
    if (res.min_bytes == UINT64_MAX) res.min_bytes = 0;
    res.first_p50 = percentile(run->crowd.first_byte_ms, 50);
    res.first_p99 = percentile(run->crowd.first_byte_ms, 99);
    res.delay_p50 = percentile(run->crowd.delays.delay_ms, 50);
    res.delay_p99 = percentile(run->crowd.delays.delay_ms, 99);
    res.delay_max = max_of(run->crowd.delays.delay_ms);
}

// The server's figures at the end of the measured time, then the server stopped.
void finish_stream(StreamRun* run) {
    StreamResult& res = run->result;
    std::int64_t stop_at = now_ns();
    for (int fd : run->storm_fds) close(fd);
    run->storm_fds.clear();
    pid_t pid = run->relay.child.pid;
    if (run->storm_total > 0) {
        count_accepts(&run->relay);
        std::uint64_t others = ACCEPTS_BEFORE_LISTENERS + run->joined;
        res.storm_done = run->relay.accepted >= others ? run->relay.accepted - others : 0;
        res.fds_after = testkit::open_fd_count(pid);
        res.rss_after = testkit::resident_kib(pid);
    }
    res.seconds = ns_to_seconds(stop_at - run->measure_from_ns);
    res.cpu_per_second = (cpu_seconds(pid) - run->cpu_at_start) / res.seconds;
    res.peak_kib = testkit::status_kib(pid, "VmHWM");
    res.sent_bytes = run->source.bytes - run->sent_at_start;
    stop_relay(&run->relay);
    collect_listeners(run);
    crowd_end(&run->crowd);
    close_source(&run->source);
}

// The relay, the source and n listeners yet to join. False, after saying why, when the relay
// or the source did not come up; nothing is left running then.
bool start_stream_run(const Config& c, const char* name, int n, int storm, StreamRun* run) {
    run->result.listeners = n;
    run->storm_total = storm;
    run->measure_from_ns = INT64_MAX;
    run->measure_end_ns = INT64_MAX;
    if (!start_source_run(c.relayhub, STEADY_RATE, STEADY_PAYLOAD, name, &run->relay,
                          &run->source)) {
        return false;
    }
    run->crowd = new_crowd(run->relay.port, static_cast<std::size_t>(n));
    return true;
}

// Plays the source, joins the listeners, measures and runs the storm until the measured time
// is over or, at the latest, the hard limit.
void drive_stream(const Config& c, StreamRun* run) {
    const std::size_t n = run->crowd.listeners.size();
    std::int64_t start = now_ns();
    std::int64_t next_join = start + FIRST_JOIN_NS;
    std::int64_t warm_end =
        start + seconds_to_ns(c.warmup_seconds) + static_cast<std::int64_t>(n) * JOIN_INTERVAL_NS;
    std::int64_t hard_end =
        warm_end + seconds_to_ns(run->storm_total > 0 ? c.storm_limit_seconds : c.steady_seconds);
    for (std::int64_t now = start; now < hard_end; now = now_ns()) {
        // The source: every block due by now.
        pace_source(&run->source);
        // Joining: one listener per pass.
        if (run->joined < n && now >= next_join) {
            crowd_join(&run->crowd, run->joined++);
            next_join = now + JOIN_INTERVAL_NS;
        }
        // Measuring begins once warm and with every listener joined.
        if (run->measure_from_ns == INT64_MAX && now >= warm_end && run->joined == n) {
            begin_measuring(c, run, now);
        }
        // The storm, while measuring.
        if (run->storm_total > 0 && run->measure_from_ns != INT64_MAX) storm_step(run, now);
        // The end of the measured time.
        if (now >= run->measure_end_ns) break;
        // The listeners: connects, requests, reads.
        crowd_service(&run->crowd, 1);
    }
}

// The steady stream to n listeners; with storm > 0, other clients open and close that many
// connections meanwhile. False, after saying why, when there are no figures to print.
bool run_stream(const Config& c, const char* name, int n, int storm, StreamResult* out) {
    StreamRun run{};
    if (!start_stream_run(c, name, n, storm, &run)) return false;
    drive_stream(c, &run);
    bool measured = run.measure_from_ns != INT64_MAX;
    finish_stream(&run);
    if (!measured) {
        std::printf("\n%s: measuring never began\n", name);
        return false;
    }
    if (crowd_stream_bytes(run.crowd) == 0) {
        std::printf("\n%s: no listener received a stream byte\n", name);
        return false;
    }
    *out = run.result;
    return true;
}

void print_stream_table(const char* name, const StreamResult& r, bool storm) {
    std::printf("\n%s: %d listeners of a 16,000 bytes/s stream, %.1f s measured\n", name,
                r.listeners, r.seconds);
    print_row("request to first stream byte p50/p99", "%10.2f / %.2f ms", r.first_p50, r.first_p99);
    print_row("block delay p50/p99/max", "%10.2f / %.2f / %.2f ms", r.delay_p50, r.delay_p99,
              r.delay_max);
    print_row("listeners dropped", "%10d (%d within a second of joining)", r.dropped,
              r.dropped_at_join);
    print_row("sequence gaps", "%10llu", static_cast<unsigned long long>(r.gaps));
    print_row("bad headers or blocks", "%10llu", static_cast<unsigned long long>(r.bad));
    print_row("bytes per listener kept", "%10llu .. %llu of %llu sent",
              static_cast<unsigned long long>(r.min_bytes),
              static_cast<unsigned long long>(r.max_bytes),
              static_cast<unsigned long long>(r.sent_bytes));
    print_row("server CPU seconds per second", "%10.4f", r.cpu_per_second);
    print_row("server peak resident (VmHWM)", "%10ld KiB", r.peak_kib);
    if (!storm) return;
    print_row("storm connections accepted", "%10llu (%llu refused)",
              static_cast<unsigned long long>(r.storm_done),
              static_cast<unsigned long long>(r.refused));
    print_row("server descriptors before/after", "%10d -> %d", r.fds_before, r.fds_after);
    print_row("server resident before/after", "%10ld -> %ld KiB", r.rss_before, r.rss_after);
}

void print_stream_json(const char* name, const StreamResult& r, bool storm) {
    JsonLine j = json_begin(name);
    json_int(&j, "listeners", r.listeners);
    json_fixed(&j, "seconds", r.seconds, 2);
    json_fixed(&j, "first_byte_ms_p50", r.first_p50, 3);
    json_fixed(&j, "first_byte_ms_p99", r.first_p99, 3);
    json_fixed(&j, "delay_ms_p50", r.delay_p50, 3);
    json_fixed(&j, "delay_ms_p99", r.delay_p99, 3);
    json_fixed(&j, "delay_ms_max", r.delay_max, 3);
    json_int(&j, "dropped", r.dropped);
    json_int(&j, "dropped_at_join", r.dropped_at_join);
    json_uint(&j, "gaps", r.gaps);
    json_uint(&j, "bad", r.bad);
    json_uint(&j, "min_bytes", r.min_bytes);
    json_uint(&j, "max_bytes", r.max_bytes);
    json_uint(&j, "sent_bytes", r.sent_bytes);
    json_fixed(&j, "cpu_per_second", r.cpu_per_second, 5);
    json_int(&j, "peak_rss_kib", r.peak_kib);
    if (storm) {
        json_uint(&j, "storm_connections", r.storm_done);
        json_uint(&j, "refused", r.refused);
        json_int(&j, "fds_before", r.fds_before);
        json_int(&j, "fds_after", r.fds_after);
        json_int(&j, "rss_kib_before", r.rss_before);
        json_int(&j, "rss_kib_after", r.rss_after);
    }
    json_print(j);
}

}  // namespace

bool run_cap(const Config& c) {
    Relay relay;
    Source source;
    if (!start_source_run(c.relayhub, 0, CAP_PAYLOAD, "cap", &relay, &source)) return false;
    // One 8 MB block: the window holds all of it, so only the pacing limits the listener.
    source.pending = test_block(0, CAP_PAYLOAD);
    flush_within_timeout(&source);
    Crowd crowd = new_crowd(relay.port, 1);
    crowd_join(&crowd, 0);
    CapReading reading = read_at_full_speed(&crowd, c.cap_seconds);
    double cpu = cpu_seconds(relay.child.pid);
    stop_relay(&relay);
    bool dropped = was_dropped(crowd.listeners[0]);
    bool damaged = is_damaged(crowd.listeners[0].check);
    crowd_end(&crowd);
    close_source(&source);
    if (reading.seconds <= 0) {
        std::printf("\ncap: the listener received no stream byte\n");
        return false;
    }
    print_cap(reading, dropped, damaged, cpu);
    return true;
}

bool run_steady(const Config& c, int listeners) {
    StreamResult r{};
    if (!run_stream(c, "steady", listeners, 0, &r)) return false;
    print_stream_table("steady", r, false);
    print_stream_json("steady", r, false);
    return true;
}

bool run_storm(const Config& c) {
    StreamResult r{};
    if (!run_stream(c, "storm", c.storm_listeners, c.storm_connections, &r)) return false;
    print_stream_table("storm", r, true);
    print_stream_json("storm", r, true);
    return true;
}
