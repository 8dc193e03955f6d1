// SPDX-License-Identifier: MIT
#include "stream_scenarios.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "clocks.h"
#include "crowd.h"
#include "exposure.h"
#include "figures.h"
#include "pipeline.h"
#include "report.h"
#include "scrape.h"
#include "source.h"
#include "wire.h"

using namespace testkit;

namespace {

// What the relay sends a listener at most: one piece per 10 ms pass.
constexpr double PASS_CEILING = PIECE_SIZE * 100.0;
// cap: one block far larger than one listener can take in the measured time, all held at once.
constexpr std::uint32_t CAP_PAYLOAD = 8 * 1024 * 1024;
constexpr int CAP_FLUSH_TIMEOUT_MS = 3000;
// steady and storm: 128 kbit/s in blocks of a quarter second.
constexpr double STEADY_RATE = 16000;
constexpr std::uint32_t STEADY_PAYLOAD = 4000;
// ceiling: blockframe's default payload, a 4,380-byte block of three whole pieces.
constexpr std::uint32_t CEILING_PAYLOAD = 4368;
// The relay's window moves what it holds back to its front once its start has walked a
// sixteenth of its 16 MiB; until then every block touches pages it never touched before, about
// 450 KiB in a 20-second run at 16,000 bytes per second. The source sends that much, and two of
// the relay's 64 KiB reads more, at once before any listener joins, so that the relay's resident
// memory taken then already holds the window's pages, and what the listeners add is theirs.
constexpr std::uint64_t WINDOW_WARM_BYTES = RELAY_BLOCK_MAX / 16 + 2 * 65536;
// A full window: a quarter more than the relay's window holds. The relay reads a source up to
// 64 KiB at a time and drops one block from the window's front a read (a sixteenth of a whole
// read of 4,012-byte blocks), so a source that sends many blocks at once grows the window until
// its capacity drops the rest; a paced block then drops one and adds one, and the window stays
// full. The relay takes about 300 passes, 3 s, to read it.
constexpr std::uint64_t WINDOW_FULL_BYTES = RELAY_BLOCK_MAX + RELAY_BLOCK_MAX / 4;
// How often the relay's count of source bytes is asked while it reads a full window's warm-up.
constexpr std::int64_t WARM_LOOK_NS = 100 * NS_PER_MS;
// The first listener joins a moment after the source has handed the relay that warm-up: 30
// passes, which read far more than the sockets between them hold.
constexpr std::int64_t FIRST_JOIN_NS = 300 * NS_PER_MS;
// Measuring waits, after the warm-up, until every listener has been answered, for this long at
// most: a relay accepts 32 connections a pass, and its passes run for tens of milliseconds with
// thousands of listeners, so of 10,000 that join within 3 seconds the last wait seconds in its
// accept queue.
constexpr std::int64_t ANSWER_WAIT_NS = 30 * NS_PER_SECOND;
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

Report cap_report(const CapReading& r, bool dropped, bool damaged, double cpu) {
    double rate = r.seconds > 0 ? static_cast<double>(r.bytes) / r.seconds : 0;
    Report rep = report_begin("cap", "one listener served from a full window");
    add_number(&rep, "seconds", r.seconds, 2);
    add_number(&rep, "bytes_per_second", rate, 0);
    add_number(&rep, "ratio", rate / PASS_CEILING, 4);
    add_flag(&rep, "dropped", dropped);
    add_number(&rep, "server_cpu_seconds", cpu, 3);
    add_flag(&rep, "damaged", damaged);
    add_row(&rep, "listener rate", "%12.0f bytes/s", {"bytes_per_second"});
    add_table_number(&rep, "pass_ceiling", PASS_CEILING);
    add_row(&rep, "ratio to the pass ceiling", "%12.3f (ceiling %.0f bytes/s)",
            {"ratio", "pass_ceiling"});
    add_row(&rep, "listener dropped", "%12s", {"dropped"});
    add_row(&rep, "stream damaged", "%12s", {"damaged"});
    return rep;
}

// ---- steady, storm and ceiling ----

// What one run of the benchmark's own source and listeners plays.
struct StreamSetup {
    const char* name;
    int listeners;
    int storm;    // connections the storm opens; 0: no storm
    double rate;  // bytes per second, headers included
    std::uint32_t payload;
    double seconds;       // measured
    bool stamp_sends;     // pass lengths from the listeners' receive time stamps
    bool stop_on_drop;    // the run ends as soon as the relay closes a listener
    int idle_metrics;     // held on the relay's metrics port while /health is timed; -1: no -m
    double reload_every;  // seconds between reloads while measuring, timed on -m; 0: none
    bool full_window;     // the window filled to its capacity before any listener joins
};

struct StreamResult {
    int listeners;
    int dropped;
    int dropped_at_join;  // within a second of the request
    std::uint64_t gaps;
    std::uint64_t bad;  // wrong response headers, lost framing, damaged blocks
    double first_p50, first_p99;
    double delay_p50, delay_p99, delay_max;
    std::uint64_t min_bytes, max_bytes, sent_bytes;
    // Every listener stayed and received what the source sent while measured, less two blocks:
    // the one on its way at the start, and at the end.
    bool full_rate;
    int answered_at_start;  // listeners whose response header had come when measuring began
    double cpu_per_second;
    // The benchmark's own, over the same time: near a core, it may be what holds the listeners
    // back rather than the relay.
    double bench_cpu_per_second;
    long peak_kib;
    std::uint64_t storm_done, refused;
    int fds_before, fds_after;
    long rss_idle;    // before the first listener joined, the window warm
    long rss_before;  // when measuring began
    long rss_after;   // at the end
    double seconds;
    double pass_p50, pass_p99;  // ms, when the sends were stamped
    std::size_t passes;         // passes measured
    // A listener that keeps up is sent each piece in a pass of its own: as many passes send
    // pieces as the stream has pieces. Far more passes measured means passes were split.
    double passes_expected;
    double held_share;  // of the stamps, those a listener's own read released (see crowd.h)
    // The metrics port's figures, with idle_metrics 0 or more: connections the relay closed,
    // checks of /health ended, answered and live, and the answers' times.
    std::uint64_t idle_closed;
    int health_checks, health_answered, health_live;
    double health_p50, health_p99, health_max;
    // With reloads: signals sent, reloads timed, their times and the scrapes that took; the
    // least window an answer showing a reload held; and the relay's own counts at the end
    // (-1 when its metrics port did not answer then).
    int reloads_asked, reloads_timed, reload_scrapes;
    double reload_p50, reload_max;
    double window_at_reload;
    double reloads_done, listeners_counted, window_at_end;
};

struct StreamRun {
    StreamSetup setup;
    Relay relay;
    Source source;
    Crowd crowd;
    std::size_t joined;
    std::int64_t measure_from_ns;  // INT64_MAX until measuring begins
    std::int64_t measure_end_ns;   // INT64_MAX until known
    double cpu_at_start;
    double bench_cpu_at_start;
    std::uint64_t sent_at_start;
    std::vector<std::uint64_t> bytes_at_start;  // per listener
    int storm_opened;
    std::vector<int> storm_fds;  // owned: opened since the last storm step
    int metrics_port;            // the relay's -m, or 0
    std::uint64_t warm_bytes;    // the source's warm-up, handed over before any listener joins
    std::int64_t next_warm_look_ns;
    HealthWatch health;   // with idle_metrics 0 or more
    ReloadWatch reloads;  // with reload_every, from the start of measuring
    StreamResult result;
};

void begin_measuring(StreamRun* run, std::int64_t now) {
    run->measure_from_ns = now;
    run->crowd.delays.from_wall_ns = wall_ns();
    run->cpu_at_start = cpu_seconds(run->relay.child.pid);
    run->bench_cpu_at_start = cpu_seconds(getpid());
    run->sent_at_start = run->source.bytes;
    for (const Listener& l : run->crowd.listeners) {
        run->bytes_at_start.push_back(l.check.stream_bytes);
        run->result.answered_at_start += l.answered_ns != 0 ? 1 : 0;
    }
    run->result.fds_before = testkit::open_fd_count(run->relay.child.pid);
    run->result.rss_before = testkit::resident_kib(run->relay.child.pid);
    if (run->setup.storm == 0) run->measure_end_ns = now + seconds_to_ns(run->setup.seconds);
    if (run->setup.reload_every > 0) {
        run->reloads =
            watch_reloads(run->relay.child.pid, run->metrics_port, run->setup.reload_every);
    }
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
    while (run->storm_opened < run->setup.storm &&
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
        run->relay.accepted >= static_cast<std::uint64_t>(run->setup.storm) + others;
    if (run->storm_opened == run->setup.storm && all_accepted && run->measure_end_ns == INT64_MAX) {
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
    const double block_bytes = run->setup.payload + BLOCK_HEADER_SIZE;
    res.full_rate = res.dropped == 0 && static_cast<double>(res.min_bytes) + 2 * block_bytes >=
                                            static_cast<double>(res.sent_bytes);
    res.first_p50 = percentile(run->crowd.first_byte_ms, 50);
    res.first_p99 = percentile(run->crowd.first_byte_ms, 99);
    res.delay_p50 = percentile(run->crowd.delays.delay_ms, 50);
    res.delay_p99 = percentile(run->crowd.delays.delay_ms, 99);
    res.delay_max = max_of(run->crowd.delays.delay_ms);
    if (run->setup.stamp_sends) {
        auto held = static_cast<double>(run->crowd.held_stamps);
        double all = held + static_cast<double>(run->crowd.send_stamps.size());
        res.held_share = all > 0 ? held / all : 0;
        // A block goes out in pieces of PIECE_SIZE, its last one shorter when it does not
        // divide the block.
        res.passes_expected =
            static_cast<double>(res.sent_bytes) / block_bytes * std::ceil(block_bytes / PIECE_SIZE);
        std::vector<double> passes = pass_lengths_ms(std::move(run->crowd.send_stamps));
        res.pass_p50 = percentile(passes, 50);
        res.pass_p99 = percentile(passes, 99);
        res.passes = passes.size();
    }
}

// The reloads' figures, and the relay's own counts after them: one scrape more, once measuring
// is over.
void collect_reloads(StreamRun* run) {
    StreamResult& res = run->result;
    const ReloadWatch& w = run->reloads;
    res.reloads_asked = w.asked;
    res.reloads_timed = w.seen;
    res.reload_scrapes = w.scrapes;
    res.reload_p50 = percentile(w.reload_ms, 50);
    res.reload_max = max_of(w.reload_ms);
    res.window_at_reload = w.seen > 0 ? w.window_bytes_min : 0;
    end_reload_watch(&run->reloads);
    Scrape after = scrape(run->metrics_port);
    auto count = [&](const char* name) {
        auto at = after.samples.find(name);
        return at != after.samples.end() ? at->second : -1;
    };
    res.reloads_done = count("relayhub_reloads_total");
    res.listeners_counted = count("relayhub_listeners");
    res.window_at_end = count("relayhub_window_bytes");
}

// The server's figures at the end of the measured time, then the server stopped.
void finish_stream(StreamRun* run) {
    StreamResult& res = run->result;
    std::int64_t stop_at = now_ns();
    for (int fd : run->storm_fds) close(fd);
    run->storm_fds.clear();
    pid_t pid = run->relay.child.pid;
    if (run->setup.storm > 0) {
        count_accepts(&run->relay);
        std::uint64_t others = ACCEPTS_BEFORE_LISTENERS + run->joined;
        res.storm_done = run->relay.accepted >= others ? run->relay.accepted - others : 0;
        res.fds_after = testkit::open_fd_count(pid);
    }
    res.rss_after = testkit::resident_kib(pid);
    res.seconds = ns_to_seconds(stop_at - run->measure_from_ns);
    // A run stopped at its first dropped listener may have measured for no time at all.
    res.cpu_per_second = res.seconds > 0 ? (cpu_seconds(pid) - run->cpu_at_start) / res.seconds : 0;
    res.bench_cpu_per_second =
        res.seconds > 0 ? (cpu_seconds(getpid()) - run->bench_cpu_at_start) / res.seconds : 0;
    res.peak_kib = testkit::status_kib(pid, "VmHWM");
    res.sent_bytes = run->source.bytes - run->sent_at_start;
    if (run->setup.idle_metrics >= 0) {
        const HealthWatch& h = run->health;
        res.idle_closed = h.idle_closed;
        res.health_checks = h.checks;
        res.health_answered = h.answered;
        res.health_live = h.live;
        res.health_p50 = percentile(h.answer_ms, 50);
        res.health_p99 = percentile(h.answer_ms, 99);
        res.health_max = max_of(h.answer_ms);
        end_health_watch(&run->health);
    }
    if (run->setup.reload_every > 0) collect_reloads(run);
    stop_relay(&run->relay);
    collect_listeners(run);
    crowd_end(&run->crowd);
    close_source(&run->source);
}

// The relay (with a metrics port when idle connections are to be held there), the source with
// the window's warm-up on its way, the idle connections, and the listeners yet to join. False,
// after saying why, when the relay or the source did not come up; nothing is left running then.
bool start_stream_run(const Config& c, const StreamSetup& setup, StreamRun* run) {
    const char* name = setup.name;
    run->setup = setup;
    run->result.listeners = setup.listeners;
    run->measure_from_ns = INT64_MAX;
    run->measure_end_ns = INT64_MAX;
    bool metrics = setup.idle_metrics >= 0 || setup.reload_every > 0 || setup.full_window;
    run->metrics_port = metrics ? free_port() : 0;
    std::vector<std::string> own;
    if (metrics) own = {"-m", std::to_string(run->metrics_port)};
    if (!start_source_run(c.relayhub, setup.rate, setup.payload, name, &run->relay, &run->source,
                          relay_options(c, own))) {
        return false;
    }
    send_ahead(&run->source, setup.full_window ? WINDOW_FULL_BYTES : WINDOW_WARM_BYTES);
    run->warm_bytes = run->source.bytes;
    if (setup.idle_metrics >= 0) run->health = watch_health(run->metrics_port, setup.idle_metrics);
    run->crowd =
        new_crowd(run->relay.port, static_cast<std::size_t>(setup.listeners), setup.stamp_sends);
    return true;
}

// Whether the relay has the source's warm-up: once the socket has taken the last of it, or with
// a full window, which the sockets between them hold only a few MB of, once the relay's count of
// source bytes says it has read it all (asked every WARM_LOOK_NS: no listener waits meanwhile).
bool warm_up_taken(StreamRun* run, std::int64_t now) {
    if (!run->source.pending.empty()) return false;
    if (!run->setup.full_window) return true;
    if (now < run->next_warm_look_ns) return false;
    run->next_warm_look_ns = now + WARM_LOOK_NS;
    Scrape answer = scrape(run->metrics_port);
    auto read = answer.samples.find("relayhub_source_bytes_total");
    return read != answer.samples.end() && read->second >= static_cast<double>(run->warm_bytes);
}

// Plays the source, joins the listeners, measures and runs the storm until the measured time
// is over or, at the latest, the hard limit.
void drive_stream(const Config& c, StreamRun* run) {
    const std::size_t n = run->crowd.listeners.size();
    std::int64_t start = now_ns();
    std::int64_t next_join = INT64_MAX;  // until the window's warm-up has been handed over
    std::int64_t warm_end = start + seconds_to_ns(c.warmup_seconds) +
                            static_cast<std::int64_t>(join_steps(n)) * JOIN_INTERVAL_NS;
    std::int64_t hard_end =
        warm_end + ANSWER_WAIT_NS + RELOAD_LIMIT_MS * NS_PER_MS +
        seconds_to_ns(run->setup.storm > 0 ? c.storm_limit_seconds : run->setup.seconds);
    for (std::int64_t now = start; now < hard_end; now = now_ns()) {
        // The source: every block due by now.
        pace_source(&run->source);
        // Joining: a moment after the warm-up, the relay's memory taken first, then one step per
        // pass.
        if (next_join == INT64_MAX && warm_up_taken(run, now)) next_join = now + FIRST_JOIN_NS;
        if (run->joined < n && now >= next_join) {
            if (run->joined == 0) run->result.rss_idle = resident_kib(run->relay.child.pid);
            join_step(&run->crowd, n, &run->joined);
            next_join = now + JOIN_INTERVAL_NS;
        }
        // Measuring begins once warm, with every listener joined and answered.
        bool answered =
            static_cast<std::size_t>(run->crowd.answered) == n || now >= warm_end + ANSWER_WAIT_NS;
        if (run->measure_from_ns == INT64_MAX && now >= warm_end && run->joined == n && answered) {
            begin_measuring(run, now);
        }
        // The storm, while measuring.
        if (run->setup.storm > 0 && run->measure_from_ns != INT64_MAX) storm_step(run, now);
        // Reloads, while measuring: the next one signalled when due, the one under way timed;
        // measuring ends once it has been seen.
        bool reloading = false;
        if (run->setup.reload_every > 0 && run->measure_from_ns != INT64_MAX) {
            reloading = reload_step(&run->reloads, now < run->measure_end_ns);
        }
        // The end of the measured time, or of a run that has lost a listener and need go on.
        if (now >= run->measure_end_ns && !reloading) break;
        if (run->setup.stop_on_drop && run->crowd.closed_by_relay > 0) {
            if (run->measure_from_ns == INT64_MAX) begin_measuring(run, now);
            break;
        }
        // The metrics port: idle connections held, and /health asked while measuring.
        if (run->setup.idle_metrics >= 0) {
            health_step(&run->health, run->measure_from_ns != INT64_MAX);
        }
        // The listeners: connects, requests, reads.
        crowd_service(&run->crowd, 1);
    }
}

// The source's stream to the listeners; with a storm, other clients open and close connections
// meanwhile. Returns nullptr with the figures in *out, or why there are none (end_run's
// failure).
const char* run_stream(const Config& c, const StreamSetup& setup, StreamResult* out) {
    StreamRun run{};
    if (!start_stream_run(c, setup, &run)) return NOT_STARTED;
    drive_stream(c, &run);
    bool measured = run.measure_from_ns != INT64_MAX;
    finish_stream(&run);
    if (!measured) return "measuring never began";
    if (crowd_stream_bytes(run.crowd) == 0) return NO_STREAM_BYTE;
    if (run.result.reloads_done < run.result.reloads_asked) {
        return "the relay's relayhub_reloads_total is below the reloads signalled";
    }
    *out = run.result;
    return nullptr;
}

// The reloads' figures and rows.
void add_reload_figures(Report* rep, const StreamSetup& setup, const StreamResult& r) {
    add_number(rep, "reload_every_s", setup.reload_every, 2);
    add_count(rep, "reloads_asked", r.reloads_asked);
    add_number(rep, "reloads_done", r.reloads_done, 0);
    add_count(rep, "reloads_timed", r.reloads_timed);
    add_number(rep, "reload_ms_p50", r.reload_p50, 2);
    add_number(rep, "reload_ms_max", r.reload_max, 2);
    add_count(rep, "reload_scrapes", r.reload_scrapes);
    add_number(rep, "window_bytes_at_reload", r.window_at_reload, 0);
    add_number(rep, "window_bytes_at_end", r.window_at_end, 0);
    add_number(rep, "relay_listeners_at_end", r.listeners_counted, 0);
    add_row(rep, "reloads done (relay's count)", "%10d of %d signalled, %.1f s apart",
            {"reloads_done", "reloads_asked", "reload_every_s"});
    add_row(rep, "reload time p50/max", "%10.2f / %.2f ms (%d timed, %d scrapes)",
            {"reload_ms_p50", "reload_ms_max", "reloads_timed", "reload_scrapes"});
    add_row(rep, "window held at a reload, least", "%10d bytes (%d at the end)",
            {"window_bytes_at_reload", "window_bytes_at_end"});
    add_row(rep, "relay's listener count at the end", "%10d", {"relay_listeners_at_end"});
}

// The figures every run of the benchmark's source has, then those of its setup: the pass
// lengths when the sends were stamped, the metrics port's when it was held, the storm's.
Report stream_report(const StreamSetup& setup, const StreamResult& r) {
    Report rep = report_begin(setup.name, "%d listeners of a %.0f bytes/s stream, %.1f s measured",
                              {"listeners", "rate", "seconds"});
    add_count(&rep, "listeners", r.listeners);
    add_number(&rep, "seconds", r.seconds, 2);
    add_count(&rep, "answered_at_start", r.answered_at_start);
    add_number(&rep, "first_byte_ms_p50", r.first_p50, 3);
    add_number(&rep, "first_byte_ms_p99", r.first_p99, 3);
    add_number(&rep, "delay_ms_p50", r.delay_p50, 3);
    add_number(&rep, "delay_ms_p99", r.delay_p99, 3);
    add_number(&rep, "delay_ms_max", r.delay_max, 3);
    add_count(&rep, "kept", r.listeners - r.dropped);
    add_count(&rep, "dropped", r.dropped);
    add_count(&rep, "dropped_at_join", r.dropped_at_join);
    add_count(&rep, "gaps", r.gaps);
    add_count(&rep, "bad", r.bad);
    add_count(&rep, "min_bytes", r.min_bytes);
    add_count(&rep, "max_bytes", r.max_bytes);
    add_count(&rep, "sent_bytes", r.sent_bytes);
    add_flag(&rep, "full_rate", r.full_rate);
    add_number(&rep, "cpu_per_second", r.cpu_per_second, 5);
    add_number(&rep, "bench_cpu_per_second", r.bench_cpu_per_second, 4);
    add_count(&rep, "peak_rss_kib", r.peak_kib);
    add_count(&rep, "rss_kib_idle", r.rss_idle);
    add_count(&rep, "rss_kib_before", r.rss_before);
    add_count(&rep, "rss_kib_after", r.rss_after);
    add_number(&rep, "rss_bytes_per_listener",
               static_cast<double>(r.rss_after - r.rss_idle) * 1024 / r.listeners, 0);
    add_table_number(&rep, "rate", setup.rate);
    add_row(&rep, "listeners answered when measuring", "%10d of %d",
            {"answered_at_start", "listeners"});
    add_row(&rep, "request to first stream byte p50/p99", "%10.2f / %.2f ms",
            {"first_byte_ms_p50", "first_byte_ms_p99"});
    add_row(&rep, "block delay p50/p99/max", "%10.2f / %.2f / %.2f ms",
            {"delay_ms_p50", "delay_ms_p99", "delay_ms_max"});
    add_row(&rep, "listeners kept", "%10d of %d", {"kept", "listeners"});
    add_row(&rep, "listeners dropped", "%10d (%d within a second of joining)",
            {"dropped", "dropped_at_join"});
    add_row(&rep, "sequence gaps", "%10d", {"gaps"});
    add_row(&rep, "bad headers or blocks", "%10d", {"bad"});
    add_row(&rep, "bytes per listener kept", "%10d .. %d of %d sent (full rate: %s)",
            {"min_bytes", "max_bytes", "sent_bytes", "full_rate"});
    add_row(&rep, "server CPU seconds per second", "%10.4f (the benchmark's own %.4f)",
            {"cpu_per_second", "bench_cpu_per_second"});
    add_row(&rep, "server resident idle/start/end", "%10d / %d / %d KiB (peak %d KiB)",
            {"rss_kib_idle", "rss_kib_before", "rss_kib_after", "peak_rss_kib"});
    add_row(&rep, "resident per listener above idle", "%10.0f bytes", {"rss_bytes_per_listener"});
    if (setup.stamp_sends) {
        add_number(&rep, "pass_ms_p50", r.pass_p50, 2);
        add_number(&rep, "pass_ms_p99", r.pass_p99, 2);
        add_count(&rep, "passes", r.passes);
        add_number(&rep, "passes_expected", r.passes_expected, 0);
        add_number(&rep, "held_stamps_share", r.held_share, 4);
        add_table_number(&rep, "held_stamps_percent", 100 * r.held_share);
        add_row(&rep, "pass p50/p99", "%10.2f / %.2f ms (%d passes of %.0f; %.2f%% held)",
                {"pass_ms_p50", "pass_ms_p99", "passes", "passes_expected", "held_stamps_percent"});
    }
    if (setup.idle_metrics >= 0) {
        add_count(&rep, "idle_metrics", setup.idle_metrics);
        add_count(&rep, "idle_metrics_closed", r.idle_closed);
        add_count(&rep, "health_checks", r.health_checks);
        add_count(&rep, "health_answered", r.health_answered);
        add_count(&rep, "health_live", r.health_live);
        add_number(&rep, "health_ms_p50", r.health_p50, 2);
        add_number(&rep, "health_ms_p99", r.health_p99, 2);
        add_number(&rep, "health_ms_max", r.health_max, 2);
        add_row(&rep, "idle metrics connections held", "%10d (closed by the relay %d times)",
                {"idle_metrics", "idle_metrics_closed"});
        add_row(&rep, "/health answered", "%10d of %d (%d live)",
                {"health_answered", "health_checks", "health_live"});
        add_row(&rep, "/health answer p50/p99/max", "%10.2f / %.2f / %.2f ms",
                {"health_ms_p50", "health_ms_p99", "health_ms_max"});
    }
    if (setup.full_window) add_flag(&rep, "full_window", true);
    if (setup.reload_every > 0) add_reload_figures(&rep, setup, r);
    if (setup.storm == 0) return rep;
    add_count(&rep, "storm_connections", r.storm_done);
    add_count(&rep, "refused", r.refused);
    add_count(&rep, "fds_before", r.fds_before);
    add_count(&rep, "fds_after", r.fds_after);
    add_row(&rep, "storm connections accepted", "%10d (%d refused)",
            {"storm_connections", "refused"});
    add_row(&rep, "server descriptors before/after", "%10d -> %d", {"fds_before", "fds_after"});
    return rep;
}

StreamSetup steady_setup(const char* name, int listeners, int storm, double seconds) {
    return StreamSetup{name,  listeners, storm, STEADY_RATE, STEADY_PAYLOAD, seconds,
                       false, false,     -1,    0,           false};
}

// ---- ceiling ----

struct CeilingRun {
    double rate;
    StreamResult result;
};

bool is_figure_rate(const Config& c, double rate) {
    return std::find(c.ceiling_figure_rates.begin(), c.ceiling_figure_rates.end(), rate) !=
           c.ceiling_figure_rates.end();
}

// One ceiling run at rate. A run whose figures are not wanted ends at its first dropped
// listener: it has failed, and the next rate down is tried. Returns what run_stream does.
const char* run_ceiling_at(const Config& c, double rate, std::vector<CeilingRun>* runs) {
    StreamSetup setup = steady_setup("ceiling", c.ceiling_listeners, 0, c.ceiling_seconds);
    setup.rate = rate;
    setup.payload = CEILING_PAYLOAD;
    setup.stamp_sends = true;
    setup.stop_on_drop = !is_figure_rate(c, rate);
    CeilingRun run{rate, {}};
    const char* failure = run_stream(c, setup, &run.result);
    if (failure == nullptr) runs->push_back(run);
    return failure;
}

// One row a rate, highest first; in the JSON line one list a figure, an entry a rate.
Report ceiling_report(const Config& c, std::vector<CeilingRun> runs, double highest) {
    std::sort(runs.begin(), runs.end(),
              [](const CeilingRun& a, const CeilingRun& b) { return a.rate > b.rate; });
    Report rep = report_begin("ceiling",
                              "%d listeners, the benchmark's source writing whole %d-byte "
                              "payloads on time, %.0f s measured",
                              {"listeners", "payload", "seconds"});
    add_count(&rep, "listeners", c.ceiling_listeners);
    add_count(&rep, "payload", CEILING_PAYLOAD);
    add_number(&rep, "seconds", c.ceiling_seconds, 0);
    if (c.ceiling_search) add_number(&rep, "highest_rate", highest, 0);
    std::vector<double> rate, kept, seconds, cpu, pass50, pass99, passes, expected, held;
    std::vector<double> delay50, delay99, held_percent;
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const StreamResult& r = runs[k].result;
        rate.push_back(runs[k].rate);
        kept.push_back(r.listeners - r.dropped);
        seconds.push_back(r.seconds);
        cpu.push_back(r.cpu_per_second);
        pass50.push_back(r.pass_p50);
        pass99.push_back(r.pass_p99);
        passes.push_back(static_cast<double>(r.passes));
        expected.push_back(r.passes_expected);
        held.push_back(r.held_share);
        held_percent.push_back(100 * r.held_share);
        delay50.push_back(r.delay_p50);
        delay99.push_back(r.delay_p99);
        add_row(&rep, "%.0f bytes/s",
                "%4d of %d kept over %.1f s; CPU %.4f s/s; pass p50/p99 %.2f / %.2f ms "
                "(%d passes of %.0f; %.2f%% of stamps held)",
                {element("rates", k), element("kept", k), "listeners",
                 element("measured_seconds", k), element("cpu_per_second", k),
                 element("pass_ms_p50", k), element("pass_ms_p99", k), element("passes", k),
                 element("passes_expected", k), element("held_stamps_percent", k)});
    }
    if (c.ceiling_search) {
        add_row(&rep, "highest rate keeping every listener", "%.0f bytes/s", {"highest_rate"});
    } else {
        add_row(&rep, "highest rate keeping every listener", "not searched (given rates only)");
    }
    add_list(&rep, "rates", rate, 0);
    add_list(&rep, "kept", kept, 0);
    add_list(&rep, "measured_seconds", seconds, 1);
    add_list(&rep, "cpu_per_second", cpu, 4);
    add_list(&rep, "pass_ms_p50", pass50, 2);
    add_list(&rep, "pass_ms_p99", pass99, 2);
    add_list(&rep, "passes", passes, 0);
    add_list(&rep, "passes_expected", expected, 0);
    add_list(&rep, "held_stamps_share", held, 4);
    add_list(&rep, "delay_ms_p50", delay50, 1);
    add_list(&rep, "delay_ms_p99", delay99, 1);
    add_table_list(&rep, "held_stamps_percent", held_percent);
    return rep;
}

// How many listeners of a crowd of count join in one step (1 for an empty crowd).
std::size_t joins_per_step(std::size_t count) {
    return std::max<std::size_t>(1, (count + JOIN_STEPS - 1) / JOIN_STEPS);
}

}  // namespace

std::size_t join_steps(std::size_t count) {
    std::size_t per_step = joins_per_step(count);
    return (count + per_step - 1) / per_step;
}

void join_step(Crowd* crowd, std::size_t count, std::size_t* joined) {
    std::size_t per_step = joins_per_step(count);
    for (std::size_t k = 0; k < per_step && *joined < count; ++k) crowd_join(crowd, (*joined)++);
}

bool run_cap(const Config& c) {
    Relay relay;
    Source source;
    if (!start_source_run(c.relayhub, 0, CAP_PAYLOAD, "cap", &relay, &source, relay_options(c))) {
        return false;
    }
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
    return end_run(cap_report(reading, dropped, damaged, cpu),
                   reading.seconds > 0 ? nullptr : "the listener received no stream byte");
}

bool run_ceiling(const Config& c) {
    std::vector<CeilingRun> runs;
    double highest = 0;
    const char* failure = nullptr;
    for (double rate = c.ceiling_top_rate;
         c.ceiling_search && rate >= c.ceiling_step && highest == 0 && failure == nullptr;
         rate -= c.ceiling_step) {
        failure = run_ceiling_at(c, rate, &runs);
        if (failure == nullptr && runs.back().result.dropped == 0) highest = rate;
    }
    for (double rate : c.ceiling_figure_rates) {
        bool done = false;
        for (const CeilingRun& run : runs) done = done || run.rate == rate;
        if (!done && failure == nullptr) failure = run_ceiling_at(c, rate, &runs);
    }
    return end_run(ceiling_report(c, runs, highest), failure);
}

bool run_steady(const Config& c, int listeners) {
    StreamResult r{};
    StreamSetup setup = steady_setup("steady", listeners, 0, c.steady_seconds);
    setup.stamp_sends = true;
    setup.idle_metrics = c.idle_metrics;
    setup.reload_every = c.reload_every_seconds;
    setup.full_window = c.full_window;
    const char* failure = run_stream(c, setup, &r);
    return end_run(stream_report(setup, r), failure);
}

bool run_storm(const Config& c) {
    StreamResult r{};
    StreamSetup setup = steady_setup("storm", c.storm_listeners, c.storm_connections, 0);
    const char* failure = run_stream(c, setup, &r);
    return end_run(stream_report(setup, r), failure);
}
