// SPDX-License-Identifier: MIT
#include "soak.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <random>
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
#include "stream_scenarios.h"

using namespace testkit;

namespace {

// 128 kbit/s in 1,012-byte blocks, one piece each, so a listener that joins never waits on a
// block's tail.
constexpr double SOAK_RATE = 16000;
constexpr std::uint32_t SOAK_PAYLOAD = 1000;
// A run of LONG_RUN_MINUTES or more warms up for a minute, then compares its first five minutes
// with its last five, and its source reconnects every five minutes. A shorter run scales them:
// a tenth of it to warm up, a fifth for each window, a sixth between reconnections.
constexpr double LONG_RUN_MINUTES = 11;
constexpr double LONG_WARMUP_SECONDS = 60;
constexpr double LONG_WINDOW_SECONDS = 300;
constexpr double LONG_SOURCE_PERIOD_SECONDS = 300;
constexpr std::uint64_t SOAK_SEED = 20261209;  // the same listeners leave on every run
constexpr char CONNECTIONS_MAX[] = "relayhub_connections_max";
constexpr int SERVICE_WAIT_MS = 1;

struct SoakTiming {
    double seconds;  // the whole run
    double warmup_seconds;
    double window_seconds;  // of each of the two windows compared
    double source_period_seconds;
};

SoakTiming soak_timing(double minutes) {
    double seconds = minutes * 60;
    if (minutes >= LONG_RUN_MINUTES) {
        return {seconds, LONG_WARMUP_SECONDS, LONG_WINDOW_SECONDS, LONG_SOURCE_PERIOD_SECONDS};
    }
    return {seconds, seconds / 10, seconds / 5, seconds / 6};
}

// What /proc showed of the relay at one of the run's seconds.
struct SoakSample {
    double at_s;  // since the start
    long rss_kib;
    int fds;
};

struct SoakFigures {
    int joined, left, kept;
    int turned_away;  // closed by the relay, or never connected, before its answer
    int dropped;      // answered, then closed by the relay
    int damaged;
    int source_connections;
    int scrapes, scrapes_answered;
    double connections_max;  // the relay's gauge in the last answer that had it, or -1
    int hostile, hostile_closed;
    double rss_first, rss_last, fds_first, fds_last;  // means over the two windows
    double cpu_first, cpu_last;                       // seconds per second over them
    long rss_max;
    int fds_max;
};

struct SoakRun {
    Relay relay;
    Source source;
    Crowd crowd;
    int metrics_port;
    SoakTiming timing;
    std::vector<std::size_t> present;  // listeners joined and not sent away yet, in no order
    std::vector<int> intruders;        // owned: open until the relay closes them
    std::mt19937_64 random;
    std::vector<SoakSample> samples;
    double cpu_at[4];  // the relay's CPU seconds at the first window's ends, then the last's
    SoakFigures f;
};

// Ends the source's connection at a block boundary (nothing may be pending) and connects again,
// the numbering and pacing going on: the new connection starts with the next block's marker,
// so the listeners see one stream. False when no new connection stood.
bool reconnect_source(int port, Source* source) {
    close_source(source);
    Source next{};
    if (!open_source(port, source->rate, source->payload, &next)) return false;
    next.bytes = source->bytes;
    next.next_sequence = source->next_sequence;
    next.started_ns = source->started_ns;
    *source = next;
    return true;
}

// Once a second: a look at the relay's memory and descriptors, a scrape of its metrics port
// (blocking, a pass or two) and an intruder.
void soak_second(SoakRun* run, double at_s) {
    pid_t pid = run->relay.child.pid;
    run->samples.push_back(SoakSample{at_s, resident_kib(pid), open_fd_count(pid)});
    Scrape answer = scrape(run->metrics_port);
    run->f.scrapes += 1;
    if (!answer.status.empty()) {
        run->f.scrapes_answered += 1;
        auto gauge = answer.samples.find(CONNECTIONS_MAX);
        if (gauge != answer.samples.end()) run->f.connections_max = gauge->second;
    }
    run->f.hostile_closed += reap_intruders(&run->intruders);
    int fd = intrude(run->relay.port);
    run->f.hostile += 1;
    if (fd >= 0) run->intruders.push_back(fd);
}

// Listeners the relay has closed are no longer present; soak_churn of the others, drawn at
// random, leave, and as many new ones join.
void churn(const Config& c, SoakRun* run) {
    std::erase_if(run->present, [&](std::size_t k) { return !is_open(run->crowd.listeners[k]); });
    for (int n = 0; n < c.soak_churn && !run->present.empty(); ++n) {
        std::size_t at = run->random() % run->present.size();
        crowd_close(&run->crowd, run->present[at]);
        run->present[at] = run->present.back();
        run->present.pop_back();
        run->f.left += 1;
    }
    for (int n = 0; n < c.soak_churn; ++n) {
        std::size_t k = crowd_add(&run->crowd);
        crowd_join(&run->crowd, k);
        run->present.push_back(k);
    }
}

// Plays the source, joins the first listeners, and every second looks at the relay, scrapes
// it, sends an intruder and, once every first listener has joined, lets some leave and others
// join, until the run's time is over. False when the source could not reconnect.
bool drive_soak(const Config& c, SoakRun* run) {
    const SoakTiming& t = run->timing;
    const double edges[4] = {t.warmup_seconds, t.warmup_seconds + t.window_seconds,
                             t.seconds - t.window_seconds, t.seconds};
    const std::size_t first = run->crowd.listeners.size();
    pid_t pid = run->relay.child.pid;
    std::int64_t start = now_ns();
    std::int64_t end = start + seconds_to_ns(t.seconds);
    std::int64_t next_join = start;
    std::int64_t next_second = start + NS_PER_SECOND;
    std::int64_t next_reconnect = start + seconds_to_ns(t.source_period_seconds);
    std::size_t joined = 0;
    int edge = 0;
    for (std::int64_t now = start; now < end; now = now_ns()) {
        pace_source(&run->source);
        if (joined < first && now >= next_join) {
            join_step(&run->crowd, first, &joined);
            next_join = now + JOIN_INTERVAL_NS;
            for (std::size_t k = 0; joined == first && k < first; ++k) run->present.push_back(k);
        }
        if (now >= next_reconnect && run->source.pending.empty()) {
            if (!reconnect_source(run->relay.port, &run->source)) return false;
            run->f.source_connections += 1;
            next_reconnect = now + seconds_to_ns(t.source_period_seconds);
        }
        if (now >= next_second) {
            soak_second(run, ns_to_seconds(now - start));
            if (joined == first) churn(c, run);
            next_second += NS_PER_SECOND;
        }
        for (; edge < 4 && ns_to_seconds(now - start) >= edges[edge]; ++edge) {
            run->cpu_at[edge] = cpu_seconds(pid);
        }
        crowd_service(&run->crowd, SERVICE_WAIT_MS);
    }
    for (; edge < 4; ++edge) run->cpu_at[edge] = cpu_seconds(pid);  // the last window's end
    run->f.hostile_closed += reap_intruders(&run->intruders);
    return true;
}

// The means of the samples taken within [from_s, to_s); 0 when none was.
void window_means(const std::vector<SoakSample>& samples, double from_s, double to_s,
                  double* rss_kib, double* fds) {
    double rss_sum = 0;
    double fds_sum = 0;
    int n = 0;
    for (const SoakSample& s : samples) {
        if (s.at_s < from_s || s.at_s >= to_s) continue;
        rss_sum += static_cast<double>(s.rss_kib);
        fds_sum += s.fds;
        n += 1;
    }
    *rss_kib = n > 0 ? rss_sum / n : 0;
    *fds = n > 0 ? fds_sum / n : 0;
}

// The relay's figures over the two windows, and the listeners' as they stand at the end.
void collect_soak(SoakRun* run) {
    SoakFigures& f = run->f;
    const SoakTiming& t = run->timing;
    window_means(run->samples, t.warmup_seconds, t.warmup_seconds + t.window_seconds, &f.rss_first,
                 &f.fds_first);
    window_means(run->samples, t.seconds - t.window_seconds, t.seconds, &f.rss_last, &f.fds_last);
    f.cpu_first = (run->cpu_at[1] - run->cpu_at[0]) / t.window_seconds;
    f.cpu_last = (run->cpu_at[3] - run->cpu_at[2]) / t.window_seconds;
    for (const SoakSample& s : run->samples) {
        f.rss_max = std::max(f.rss_max, s.rss_kib);
        f.fds_max = std::max(f.fds_max, s.fds);
    }
    f.damaged = crowd_damaged(run->crowd);
    for (const Listener& l : run->crowd.listeners) {
        if (l.state == IDLE) continue;
        f.joined += 1;
        if (l.answered_ns == 0) {
            f.turned_away += was_dropped(l) ? 1 : 0;
        } else if (was_dropped(l)) {
            f.dropped += 1;
        }
        f.kept += is_open(l) ? 1 : 0;
    }
}

double ratio(double last, double first) { return first > 0 ? last / first : 0; }

Report soak_report(const Config& c, const SoakRun& run) {
    const SoakFigures& f = run.f;
    const SoakTiming& t = run.timing;
    Report rep = report_begin(
        "soak",
        "%d listeners, %d leaving and %d joining a second; %.0f bytes/s from a source that "
        "reconnects every %.1f s; %.2f minutes, windows of %.1f s after %.1f s",
        {"listeners", "churn_per_second", "churn_per_second", "rate", "source_period_seconds",
         "minutes", "window_seconds", "warmup_seconds"});
    add_number(&rep, "minutes", c.soak_minutes, 2);
    add_count(&rep, "listeners", c.soak_listeners);
    add_count(&rep, "churn_per_second", c.soak_churn);
    add_number(&rep, "rate", SOAK_RATE, 0);
    add_count(&rep, "payload", SOAK_PAYLOAD);
    add_number(&rep, "warmup_seconds", t.warmup_seconds, 1);
    add_number(&rep, "window_seconds", t.window_seconds, 1);
    add_number(&rep, "rss_kib_first", f.rss_first, 0);
    add_number(&rep, "rss_kib_last", f.rss_last, 0);
    add_number(&rep, "rss_ratio", ratio(f.rss_last, f.rss_first), 4);
    add_number(&rep, "fds_first", f.fds_first, 1);
    add_number(&rep, "fds_last", f.fds_last, 1);
    add_number(&rep, "fds_ratio", ratio(f.fds_last, f.fds_first), 4);
    add_number(&rep, "cpu_per_second_first", f.cpu_first, 5);
    add_number(&rep, "cpu_per_second_last", f.cpu_last, 5);
    add_count(&rep, "rss_kib_max", f.rss_max);
    add_count(&rep, "fds_max", f.fds_max);
    add_count(&rep, "joined", f.joined);
    add_count(&rep, "left", f.left);
    add_count(&rep, "kept", f.kept);
    add_count(&rep, "turned_away", f.turned_away);
    add_count(&rep, "dropped", f.dropped);
    add_count(&rep, "damaged", f.damaged);
    add_count(&rep, "source_connections", f.source_connections);
    add_count(&rep, "scrapes", f.scrapes);
    add_count(&rep, "scrapes_answered", f.scrapes_answered);
    add_number(&rep, "connections_max", f.connections_max, 0);
    add_count(&rep, "hostile_connects", f.hostile);
    add_count(&rep, "hostile_closed", f.hostile_closed);
    add_table_number(&rep, "source_period_seconds", t.source_period_seconds);
    add_row(&rep, "resident mean, first / last window", "%10.0f / %.0f KiB (ratio %.3f)",
            {"rss_kib_first", "rss_kib_last", "rss_ratio"});
    add_row(&rep, "descriptors mean, first / last window", "%10.1f / %.1f (ratio %.3f)",
            {"fds_first", "fds_last", "fds_ratio"});
    add_row(&rep, "CPU s/s, first / last window", "%10.4f / %.4f",
            {"cpu_per_second_first", "cpu_per_second_last"});
    add_row(&rep, "largest resident / descriptors seen", "%10d KiB / %d",
            {"rss_kib_max", "fds_max"});
    add_row(&rep, "listeners joined / left / kept", "%10d / %d / %d", {"joined", "left", "kept"});
    add_row(&rep, "turned away", "%10d", {"turned_away"});
    add_row(&rep, "answered, then dropped", "%10d", {"dropped"});
    add_row(&rep, "damaged streams", "%10d", {"damaged"});
    add_row(&rep, "source connections", "%10d", {"source_connections"});
    add_row(&rep, "scrapes answered", "%10d of %d (connections max %.0f)",
            {"scrapes_answered", "scrapes", "connections_max"});
    add_row(&rep, "intruders closed by the relay", "%10d of %d",
            {"hostile_closed", "hostile_connects"});
    return rep;
}

}  // namespace

bool run_soak(const Config& c) {
    SoakRun run{};
    run.timing = soak_timing(c.soak_minutes);
    run.random.seed(SOAK_SEED);
    run.metrics_port = free_port();
    run.f.connections_max = -1;
    run.f.source_connections = 1;
    // Only the benchmark's own address may feed it, so the intruders from 127.0.0.2 are refused.
    std::vector<std::string> options =
        relay_options(c, {"-s", "127.0.0.1", "-m", std::to_string(run.metrics_port)});
    if (!start_source_run(c.relayhub, SOAK_RATE, SOAK_PAYLOAD, "soak", &run.relay, &run.source,
                          options)) {
        return false;
    }
    run.crowd = new_crowd(run.relay.port, static_cast<std::size_t>(c.soak_listeners));
    bool reconnected = drive_soak(c, &run);
    collect_soak(&run);
    stop_relay(&run.relay);
    crowd_end(&run.crowd);
    close_source(&run.source);
    for (int fd : run.intruders) close(fd);
    const char* failure = nullptr;
    if (!reconnected) {
        failure = "the source could not connect again";
    } else if (crowd_stream_bytes(run.crowd) == 0) {
        failure = NO_STREAM_BYTE;
    }
    return end_run(soak_report(c, run), failure);
}
