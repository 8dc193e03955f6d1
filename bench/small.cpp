// SPDX-License-Identifier: MIT
#include "small.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "clocks.h"
#include "crowd.h"
#include "figures.h"
#include "pipeline.h"
#include "report.h"

using namespace testkit;

namespace {

constexpr std::uint64_t SMALL_RATE = 140000;
constexpr std::uint32_t SMALL_PAYLOAD = 100;
constexpr std::size_t SMALL_LISTENERS = 2;
constexpr double SMALL_CPU_WINDOW_SECONDS = 60;  // CPU is read over the first and last minute
constexpr std::int64_t SMALL_SETTLE_NS = 2 * NS_PER_SECOND;
constexpr std::int64_t LAG_SAMPLE_NS = 10 * NS_PER_MS;  // over the last second of the run
constexpr int SERVICE_WAIT_MS = 1;
constexpr double NO_FIGURE = NAN;  // printed as null

struct SmallReadings {
    double seconds;         // measured
    double window_seconds;  // of each CPU reading
    std::vector<std::uint64_t> bytes_at_start;
    std::uint64_t sent_at_start, sent_at_end;  // feedsend's count
    double cpu_start, cpu_first_end, cpu_last_start, cpu_end;
    // Per listener, over the first and over the last second: a lag that grows between them is
    // a listener that falls behind for good, one that stays is a fixed distance from live.
    std::vector<std::vector<double>> lag_start_ms, lag_ms;
};

// Waits until every listener has a stream byte, or SMALL_SETTLE_NS.
void settle(Crowd* crowd) {
    std::int64_t deadline = now_ns() + SMALL_SETTLE_NS;
    while (now_ns() < deadline) {
        bool all = true;
        for (const Listener& l : crowd->listeners) all = all && l.check.stream_bytes > 0;
        if (all) return;
        crowd_service(crowd, SERVICE_WAIT_MS);
    }
}

// How far behind live each listener still reading is: now minus the send time of the newest
// complete block it has received.
void sample_lag(const Crowd& crowd, std::vector<std::vector<double>>* lag_ms) {
    std::int64_t now = wall_ns();
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        if (is_open(l) && l.check.newest_sent_wall_ns != 0) {
            (*lag_ms)[k].push_back(ns_to_ms(now - l.check.newest_sent_wall_ns));
        }
    }
}

void measure_small(const Config& c, const PipelineRun& p, Crowd* crowd, SmallReadings* r) {
    pid_t pid = p.relay.child.pid;
    r->seconds = c.small_seconds;
    r->window_seconds = std::min(SMALL_CPU_WINDOW_SECONDS, c.small_seconds / 2);
    r->lag_start_ms.assign(crowd->listeners.size(), {});
    r->lag_ms.assign(crowd->listeners.size(), {});
    for (const Listener& l : crowd->listeners) r->bytes_at_start.push_back(l.check.stream_bytes);
    r->sent_at_start = feedsend_sent_bytes(p.pipeline);
    r->cpu_start = cpu_seconds(pid);
    std::int64_t start = now_ns();
    std::int64_t end = start + seconds_to_ns(c.small_seconds);
    std::int64_t first_end = start + seconds_to_ns(r->window_seconds);
    std::int64_t last_start = end - seconds_to_ns(r->window_seconds);
    std::int64_t next_lag = start;
    bool first_read = false;
    bool last_read = false;
    for (std::int64_t now = start; now < end; now = now_ns()) {
        // CPU at the end of the first window and at the start of the last one.
        if (!first_read && now >= first_end) {
            r->cpu_first_end = cpu_seconds(pid);
            first_read = true;
        }
        if (!last_read && now >= last_start) {
            r->cpu_last_start = cpu_seconds(pid);
            last_read = true;
        }
        // Lag, every 10 ms of the first and of the last second.
        if (now >= next_lag && now < start + NS_PER_SECOND) {
            sample_lag(*crowd, &r->lag_start_ms);
            next_lag = now + LAG_SAMPLE_NS;
        } else if (now >= next_lag && now >= end - NS_PER_SECOND) {
            sample_lag(*crowd, &r->lag_ms);
            next_lag = now + LAG_SAMPLE_NS;
        }
        // Reading.
        crowd_service(crowd, SERVICE_WAIT_MS);
    }
    r->cpu_end = cpu_seconds(pid);
    r->sent_at_end = feedsend_sent_bytes(p.pipeline);
}

struct SmallFigures {
    double source_rate;  // feedsend's bytes per second over the measured time
    std::vector<double> rate, ratio, lag_start_p50, lag_p50, lag_max;  // per listener
    double cpu_first, cpu_last;  // relay CPU seconds per second in the first and last window
    int dropped;
};

SmallFigures collect_small(const Crowd& crowd, const SmallReadings& r) {
    SmallFigures f{};
    f.source_rate = static_cast<double>(r.sent_at_end - r.sent_at_start) / r.seconds;
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        f.dropped += was_dropped(l) ? 1 : 0;
        double rate = static_cast<double>(l.check.stream_bytes - r.bytes_at_start[k]) / r.seconds;
        f.rate.push_back(rate);
        f.ratio.push_back(f.source_rate > 0 ? rate / f.source_rate : NO_FIGURE);
        bool at_start = !r.lag_start_ms[k].empty();
        f.lag_start_p50.push_back(at_start ? percentile(r.lag_start_ms[k], 50) : NO_FIGURE);
        bool sampled = !r.lag_ms[k].empty();  // none once the relay had dropped it
        f.lag_p50.push_back(sampled ? percentile(r.lag_ms[k], 50) : NO_FIGURE);
        f.lag_max.push_back(sampled ? max_of(r.lag_ms[k]) : NO_FIGURE);
    }
    f.cpu_first = (r.cpu_first_end - r.cpu_start) / r.window_seconds;
    f.cpu_last = (r.cpu_end - r.cpu_last_start) / r.window_seconds;
    return f;
}

Report small_report(const Crowd& crowd, const SmallReadings& r, const SmallFigures& f) {
    Report rep =
        report_begin("small", "%d listeners of %d bytes/s in %d-byte payloads, %.0f s measured",
                     {"listeners", "rate", "payload", "seconds"});
    add_count(&rep, "rate", SMALL_RATE);
    add_count(&rep, "payload", crowd_payload(crowd));
    add_count(&rep, "listeners", crowd.listeners.size());
    add_number(&rep, "seconds", r.seconds, 1);
    add_number(&rep, "source_bytes_per_second", f.source_rate, 0);
    add_list(&rep, "listener_bytes_per_second", f.rate, 0);
    add_list(&rep, "listener_to_source", f.ratio, 4);
    add_list(&rep, "behind_live_ms_start_p50", f.lag_start_p50, 1);
    add_list(&rep, "behind_live_ms_p50", f.lag_p50, 1);
    add_list(&rep, "behind_live_ms_max", f.lag_max, 1);
    add_number(&rep, "cpu_per_second_first", f.cpu_first, 5);
    add_number(&rep, "cpu_per_second_last", f.cpu_last, 5);
    add_number(&rep, "cpu_window_seconds", r.window_seconds, 1);
    add_count(&rep, "dropped", f.dropped);
    add_count(&rep, "damaged", crowd_damaged(crowd));
    add_row(&rep, "source rate (feedsend's bytes)", "%10.0f bytes/s", {"source_bytes_per_second"});
    for (std::size_t k = 0; k < f.rate.size(); ++k) {
        add_row(&rep, "listener " + std::to_string(k + 1) + " rate (to source)",
                "%10.0f bytes/s (%.4f)",
                {element("listener_bytes_per_second", k), element("listener_to_source", k)});
        add_row(&rep, "  behind live: start p50, end p50/max", "%10.1f, %.1f / %.1f ms",
                {element("behind_live_ms_start_p50", k), element("behind_live_ms_p50", k),
                 element("behind_live_ms_max", k)});
    }
    add_row(&rep, "server CPU s/s, first / last window", "%10.4f / %.4f (%.1f s each)",
            {"cpu_per_second_first", "cpu_per_second_last", "cpu_window_seconds"});
    add_row(&rep, "dropped, damaged", "%10d, %d", {"dropped", "damaged"});
    return rep;
}

}  // namespace

bool run_small(const Config& c) {
    PipelineRun p{};
    PipelineSetup setup{c.blockframe, c.feedsend, SMALL_PAYLOAD, SMALL_RATE};
    if (!start_pipeline_run(c.relayhub, setup, c.pipeline_warmup_seconds, "small", &p,
                            relay_options(c))) {
        return false;
    }
    Crowd crowd = new_crowd(p.relay.port, SMALL_LISTENERS);
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) crowd_join(&crowd, k);
    settle(&crowd);
    SmallReadings readings{};
    measure_small(c, p, &crowd, &readings);
    stop_pipeline_run(&p);
    crowd_end(&crowd);
    SmallFigures f = collect_small(crowd, readings);
    return end_run(small_report(crowd, readings, f),
                   crowd_stream_bytes(crowd) > 0 ? nullptr : NO_STREAM_BYTE);
}
