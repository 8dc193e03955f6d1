// SPDX-License-Identifier: MIT
#include "joins.h"

#include <algorithm>
#include <random>
#include <vector>

#include "clocks.h"
#include "crowd.h"
#include "figures.h"
#include "pipeline.h"
#include "report.h"

using namespace testkit;

namespace {

struct JoinsRun {
    std::uint64_t rate;     // bytes per second, headers included
    std::uint32_t payload;  // 0: blockframe's default
};
// A 128 kbit/s stream in blockframe's default blocks and in blocks that feedsend's 1460-byte
// pieces do not divide; then faster streams in larger blocks, and last the default blocks near
// the pass ceiling, where a listener has least time to spare.
constexpr JoinsRun JOINS_RUNS[] = {
    {16000, 0}, {16000, 4000}, {64000, 16000}, {120000, 8000}, {140000, 0}};
constexpr std::uint64_t JOINS_SEED = 20261208;  // the same join moments on every run
// After the last listener's time, how long the relay has to let the last ones go.
constexpr std::int64_t JOINS_GRACE_NS = 5 * NS_PER_SECOND;

constexpr int SERVICE_WAIT_MS = 1;

// Joins every listener at its moment and closes each once it has listened its time (from its
// request; from its connect when it never got to send one).
void run_join_crowd(const Config& c, Crowd* crowd) {
    std::vector<std::int64_t> moments =
        join_moments(crowd->listeners.size(), c.joins_spread_seconds);
    std::int64_t listen_ns = seconds_to_ns(c.joins_listen_seconds);
    std::int64_t start = now_ns();
    std::int64_t deadline = start + moments.back() + listen_ns + JOINS_GRACE_NS;
    std::size_t joined = 0;
    std::size_t open = 0;
    for (std::int64_t now = start; now < deadline; now = now_ns()) {
        // Joining: every listener whose moment has come, several at once when they fall close.
        while (joined < moments.size() && now - start >= moments[joined]) {
            crowd_join(crowd, joined++);
        }
        // Leaving: every listener whose time is up.
        open = 0;
        for (std::size_t k = 0; k < joined; ++k) {
            const Listener& l = crowd->listeners[k];
            if (!is_open(l)) continue;
            std::int64_t from = l.state == CONNECTING ? l.join_ns : l.request_ns;
            if (now - from >= listen_ns) {
                crowd_close(crowd, k);
            } else {
                open += 1;
            }
        }
        if (joined == moments.size() && open == 0) break;
        // Reading: whatever has arrived.
        crowd_service(crowd, SERVICE_WAIT_MS);
    }
}

Report joins_report(const Config& c, const JoinsRun& run, const Crowd& crowd) {
    std::vector<double> age_ms;
    int dropped = 0;
    int without_block = 0;
    for (const Listener& l : crowd.listeners) {
        if (was_dropped(l)) dropped += 1;
        if (l.check.blocks > 0) {
            age_ms.push_back(ns_to_ms(l.check.first_block_age_ns));
        } else {
            without_block += 1;
        }
    }
    std::uint32_t payload = crowd_payload(crowd);
    Report rep = report_begin(
        "joins",
        "%d listeners joining at random over %.0f s for %.1f s each; %d bytes/s in %d-byte "
        "payloads (a block every %.0f ms)",
        {"listeners", "spread_seconds", "listen_seconds", "rate", "payload", "block_ms"});
    add_count(&rep, "rate", run.rate);
    add_count(&rep, "payload", payload);
    add_count(&rep, "listeners", crowd.listeners.size());
    add_count(&rep, "dropped", dropped);
    add_count(&rep, "damaged", crowd_damaged(crowd));
    add_count(&rep, "without_block", without_block);
    add_number(&rep, "first_block_age_ms_p50", percentile(age_ms, 50), 1);
    add_number(&rep, "first_block_age_ms_max", max_of(age_ms), 1);
    add_table_number(&rep, "spread_seconds", c.joins_spread_seconds);
    add_table_number(&rep, "listen_seconds", c.joins_listen_seconds);
    add_table_number(&rep, "block_ms", 1000.0 * (payload + 12.0) / static_cast<double>(run.rate));
    add_row(&rep, "dropped while keeping up", "%10d", {"dropped"});
    add_row(&rep, "damaged streams", "%10d", {"damaged"});
    add_row(&rep, "without a complete block", "%10d", {"without_block"});
    add_row(&rep, "first block's age p50/max", "%10.1f / %.1f ms",
            {"first_block_age_ms_p50", "first_block_age_ms_max"});
    return rep;
}

bool run_joins_once(const Config& c, const JoinsRun& run) {
    PipelineRun p{};
    PipelineSetup setup{c.blockframe, c.feedsend, run.payload, run.rate};
    if (!start_pipeline_run(c.relayhub, setup, c.pipeline_warmup_seconds, "joins", &p,
                            relay_options(c))) {
        return false;
    }
    Crowd crowd = new_crowd(p.relay.port, static_cast<std::size_t>(c.joins_listeners));
    run_join_crowd(c, &crowd);
    stop_pipeline_run(&p);
    crowd_end(&crowd);
    return end_run(joins_report(c, run, crowd),
                   crowd_stream_bytes(crowd) > 0 ? nullptr : NO_STREAM_BYTE);
}

}  // namespace

std::vector<std::int64_t> join_moments(std::size_t count, double spread_seconds) {
    std::mt19937_64 random(JOINS_SEED);
    std::uniform_real_distribution<double> within(0, spread_seconds);
    std::vector<std::int64_t> moments;
    for (std::size_t k = 0; k < count; ++k) moments.push_back(seconds_to_ns(within(random)));
    std::sort(moments.begin(), moments.end());
    return moments;
}

bool run_joins(const Config& c) {
    bool all = true;
    for (const JoinsRun& run : JOINS_RUNS) all = run_joins_once(c, run) && all;
    return all;
}
