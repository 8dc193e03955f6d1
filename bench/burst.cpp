// SPDX-License-Identifier: MIT
#include "burst.h"

#include <algorithm>
#include <vector>

#include "clocks.h"
#include "crowd.h"
#include "figures.h"
#include "joins.h"
#include "pipeline.h"
#include "report.h"
#include "source.h"

using namespace testkit;

namespace {

// 128 kbit/s in 1,012-byte blocks, one 1460-byte piece each, one every 63 ms: a listener gets
// the block it starts at in one pass, so joining late in a block costs it nothing.
constexpr double BURST_RATE = 16000;
constexpr std::uint32_t BURST_PAYLOAD = 1000;
// The run ends this long after the burst began at the latest, answered or not.
constexpr std::int64_t BURST_LIMIT_NS = 30 * NS_PER_SECOND;
// How often the run looks whether every listener has been answered or turned away.
constexpr std::int64_t SETTLED_CHECK_NS = 50 * NS_PER_MS;
constexpr int SERVICE_WAIT_MS = 1;

struct BurstFigures {
    int listeners;
    int answered;     // the whole response header arrived
    int turned_away;  // closed by the relay, or never connected, before an answer
    int unanswered;   // still open without an answer at the end
    int dropped;      // answered, then closed by the relay
    int damaged;
    int kept;                      // answered and open at the end
    std::vector<double> join_ms;   // connect to the whole response header, per answered listener
    std::vector<double> first_ms;  // connect to the first stream byte, per listener with one
    double behind_live_max_ms;     // at the end, of those kept: now minus their newest block's
                                   // send time
    double seconds;                // from the burst's start to the end
    double cpu_per_second;
};

bool answered(const Listener& l) { return l.answered_ns != 0; }

// Every listener is answered, or no longer open.
bool all_settled(const Crowd& crowd) {
    for (const Listener& l : crowd.listeners) {
        if (is_open(l) && !answered(l)) return false;
    }
    return true;
}

// The stream's head start: the source alone for the given time.
void warm_up(Source* source, Crowd* crowd, double seconds) {
    std::int64_t end = now_ns() + seconds_to_ns(seconds);
    while (now_ns() < end) {
        pace_source(source);
        crowd_service(crowd, SERVICE_WAIT_MS);
    }
}

// Joins every listener at its moment, each sending its request as soon as its connect is
// through, then lets all read until burst_after_seconds after the last has been answered or
// turned away. Returns the seconds it ran.
double drive_burst(const Config& c, Source* source, Crowd* crowd) {
    std::vector<std::int64_t> moments =
        join_moments(crowd->listeners.size(), c.burst_spread_seconds);
    std::int64_t start = now_ns();
    std::int64_t end = start + BURST_LIMIT_NS;
    std::int64_t next_check = start;
    std::size_t joined = 0;
    bool settled = false;
    for (std::int64_t now = start; now < end; now = now_ns()) {
        pace_source(source);
        while (joined < moments.size() && now - start >= moments[joined]) {
            crowd_join(crowd, joined++);
        }
        if (!settled && joined == moments.size() && now >= next_check) {
            settled = all_settled(*crowd);
            if (settled) end = std::min(end, now + seconds_to_ns(c.burst_after_seconds));
            next_check = now + SETTLED_CHECK_NS;
        }
        crowd_service(crowd, SERVICE_WAIT_MS);
    }
    return ns_to_seconds(now_ns() - start);
}

// The listeners' figures as they stand at the end, before any is closed.
BurstFigures collect_burst(const Crowd& crowd) {
    BurstFigures f{};
    f.listeners = static_cast<int>(crowd.listeners.size());
    f.damaged = crowd_damaged(crowd);
    std::int64_t wall = wall_ns();
    for (const Listener& l : crowd.listeners) {
        if (l.first_byte_ns != 0) f.first_ms.push_back(ns_to_ms(l.first_byte_ns - l.join_ns));
        if (!answered(l)) {
            f.turned_away += was_dropped(l) ? 1 : 0;
            f.unanswered += is_open(l) ? 1 : 0;
            continue;
        }
        f.answered += 1;
        f.join_ms.push_back(ns_to_ms(l.answered_ns - l.join_ns));
        if (was_dropped(l)) {
            f.dropped += 1;
            continue;
        }
        f.kept += 1;
        if (l.check.newest_sent_wall_ns != 0) {
            f.behind_live_max_ms =
                std::max(f.behind_live_max_ms, ns_to_ms(wall - l.check.newest_sent_wall_ns));
        }
    }
    return f;
}

Report burst_report(const Config& c, const BurstFigures& f) {
    Report rep = report_begin("burst",
                              "%d listeners joining at random within %.0f s; %.0f bytes/s in "
                              "%d-byte payloads (a block every %.0f ms)",
                              {"listeners", "spread_seconds", "rate", "payload", "block_ms"});
    add_number(&rep, "rate", BURST_RATE, 0);
    add_count(&rep, "payload", BURST_PAYLOAD);
    add_count(&rep, "listeners", f.listeners);
    add_number(&rep, "spread_seconds", c.burst_spread_seconds, 1);
    add_number(&rep, "join_ms_p50", percentile(f.join_ms, 50), 2);
    add_number(&rep, "join_ms_p99", percentile(f.join_ms, 99), 2);
    add_number(&rep, "join_ms_max", max_of(f.join_ms), 2);
    add_number(&rep, "first_byte_ms_p50", percentile(f.first_ms, 50), 2);
    add_number(&rep, "first_byte_ms_max", max_of(f.first_ms), 2);
    add_count(&rep, "answered", f.answered);
    add_count(&rep, "turned_away", f.turned_away);
    add_count(&rep, "unanswered", f.unanswered);
    add_count(&rep, "dropped", f.dropped);
    add_count(&rep, "damaged", f.damaged);
    add_count(&rep, "kept", f.kept);
    add_number(&rep, "behind_live_ms_max", f.behind_live_max_ms, 1);
    add_number(&rep, "seconds", f.seconds, 1);
    add_number(&rep, "cpu_per_second", f.cpu_per_second, 5);
    add_table_number(&rep, "block_ms", 1000.0 * (BURST_PAYLOAD + 12.0) / BURST_RATE);
    add_row(&rep, "connect to response header p50/p99/max", "%10.2f / %.2f / %.2f ms",
            {"join_ms_p50", "join_ms_p99", "join_ms_max"});
    add_row(&rep, "connect to first stream byte p50/max", "%10.2f / %.2f ms",
            {"first_byte_ms_p50", "first_byte_ms_max"});
    add_row(&rep, "answered / turned away", "%10d / %d (%d unanswered at the end)",
            {"answered", "turned_away", "unanswered"});
    add_row(&rep, "answered, then dropped", "%10d", {"dropped"});
    add_row(&rep, "damaged streams", "%10d", {"damaged"});
    add_row(&rep, "kept at the end", "%10d, at most %.1f ms behind live",
            {"kept", "behind_live_ms_max"});
    add_row(&rep, "server CPU seconds per second", "%10.4f over %.1f s",
            {"cpu_per_second", "seconds"});
    return rep;
}

}  // namespace

bool run_burst(const Config& c) {
    Relay relay;
    Source source;
    if (!start_source_run(c.relayhub, BURST_RATE, BURST_PAYLOAD, "burst", &relay, &source,
                          relay_options(c))) {
        return false;
    }
    Crowd crowd = new_crowd(relay.port, static_cast<std::size_t>(c.burst_listeners));
    warm_up(&source, &crowd, c.burst_warmup_seconds);
    double cpu_before = cpu_seconds(relay.child.pid);
    double seconds = drive_burst(c, &source, &crowd);
    double cpu = cpu_seconds(relay.child.pid) - cpu_before;
    BurstFigures f = collect_burst(crowd);
    f.seconds = seconds;
    f.cpu_per_second = cpu / seconds;
    stop_relay(&relay);
    crowd_end(&crowd);
    close_source(&source);
    return end_run(burst_report(c, f), crowd_stream_bytes(crowd) > 0 ? nullptr : NO_STREAM_BYTE);
}
