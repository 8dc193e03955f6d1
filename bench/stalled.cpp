// SPDX-License-Identifier: MIT
#include "stalled.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "clocks.h"
#include "crowd.h"
#include "figures.h"
#include "pipeline.h"
#include "report.h"

using namespace testkit;

namespace {

constexpr std::uint64_t STALLED_RATE = 16000;
constexpr std::int64_t QUEUE_SAMPLE_NS = 250 * NS_PER_MS;
constexpr int SERVICE_WAIT_MS = 1;
constexpr double NO_FIGURE = NAN;  // printed as null

// What /proc/net/tcp showed of the relay's side of one stalled listener.
struct QueueWatch {
    bool seen;                // its relay-side socket was found established
    std::uint64_t max_bytes;  // largest tx_queue while established
    std::uint64_t end_bytes;  // tx_queue at the end, in whatever state, if the socket remains
    std::int64_t closed_ns;   // monotonic: first sample without an established socket, or 0
};

// One look at the relay's sockets: each stalled listener's queue, and whether the relay has
// let it go (its socket left ESTABLISHED, or is gone).
void sample_queues(const Crowd& crowd, int relay_port, std::vector<QueueWatch>* watches) {
    std::vector<RelaySocket> sockets = relay_sockets(relay_port);
    std::int64_t now = now_ns();
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        QueueWatch& w = (*watches)[k];
        if (l.mode != STALL || l.request_ns == 0) continue;
        const RelaySocket* s = find_relay_socket(sockets, l.local_port);
        w.end_bytes = s != nullptr ? s->tx_queue : 0;
        if (s != nullptr && s->state == TCP_STATE_ESTABLISHED) {
            w.seen = true;
            w.max_bytes = std::max(w.max_bytes, s->tx_queue);
        } else if (w.seen && w.closed_ns == 0) {
            w.closed_ns = now;
        }
    }
}

struct StalledFigures {
    int keepers, keepers_dropped, keepers_damaged;
    int stalled_after_block;  // stallers that got their first complete block and stopped
    int let_go;               // stallers whose relay-side socket left ESTABLISHED
    std::vector<double> max_bytes, end_bytes;  // per staller
    std::vector<double> connected_s;           // per staller: request to let go, NaN if never
    std::vector<double> let_go_s;              // the same, of those let go only
};

StalledFigures collect_stalled(const Crowd& crowd, const std::vector<QueueWatch>& watches) {
    StalledFigures f{};
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        if (l.mode == KEEP_UP) {
            f.keepers += 1;
            f.keepers_dropped += was_dropped(l) ? 1 : 0;
            f.keepers_damaged += is_damaged(l.check) ? 1 : 0;
            continue;
        }
        const QueueWatch& w = watches[k];
        f.stalled_after_block += l.check.blocks > 0 ? 1 : 0;
        f.max_bytes.push_back(static_cast<double>(w.max_bytes));
        f.end_bytes.push_back(static_cast<double>(w.end_bytes));
        if (w.closed_ns == 0) {
            f.connected_s.push_back(NO_FIGURE);
            continue;
        }
        f.let_go += 1;
        f.connected_s.push_back(ns_to_seconds(w.closed_ns - l.request_ns));
        f.let_go_s.push_back(f.connected_s.back());
    }
    return f;
}

Report stalled_report(const Config& c, const Crowd& crowd, const StalledFigures& f) {
    Report rep = report_begin("stalled",
                              "%d listeners that stop reading after their first block beside %d "
                              "that keep up; %d bytes/s, %.0f s",
                              {"stalled", "keepers", "rate", "seconds"});
    add_count(&rep, "rate", STALLED_RATE);
    add_count(&rep, "payload", crowd_payload(crowd));
    add_number(&rep, "seconds", c.stalled_seconds, 1);
    add_count(&rep, "stalled", f.max_bytes.size());
    add_count(&rep, "keepers", f.keepers);
    add_count(&rep, "keepers_dropped", f.keepers_dropped);
    add_count(&rep, "keepers_damaged", f.keepers_damaged);
    add_count(&rep, "stalled_after_block", f.stalled_after_block);
    add_count(&rep, "stalled_let_go", f.let_go);
    add_number(&rep, "tx_queue_max_bytes", max_of(f.max_bytes), 0);
    add_number(&rep, "tx_queue_end_max_bytes", max_of(f.end_bytes), 0);
    add_list(&rep, "stalled_tx_queue_max_bytes", f.max_bytes, 0);
    add_list(&rep, "stalled_tx_queue_end_bytes", f.end_bytes, 0);
    add_list(&rep, "stalled_connected_seconds", f.connected_s, 1);
    add_table_number(&rep, "tx_queue_max_bytes_p50", percentile(f.max_bytes, 50));
    add_table_number(&rep, "let_go_seconds_min", percentile(f.let_go_s, 0));
    add_table_number(&rep, "let_go_seconds_max", max_of(f.let_go_s));
    add_row(&rep, "keepers dropped, damaged", "%10d, %d", {"keepers_dropped", "keepers_damaged"});
    add_row(&rep, "stalled after a complete block", "%10d", {"stalled_after_block"});
    add_row(&rep, "relay-side queue, max: p50 / max", "%10.0f / %.0f bytes",
            {"tx_queue_max_bytes_p50", "tx_queue_max_bytes"});
    add_row(&rep, "relay-side queue at the end: max", "%10.0f bytes", {"tx_queue_end_max_bytes"});
    add_row(&rep, "let go by the relay", "%10d of %d", {"stalled_let_go", "stalled"});
    add_row(&rep, "connected until let go: min / max", "%10.1f / %.1f s",
            {"let_go_seconds_min", "let_go_seconds_max"});
    return rep;
}

}  // namespace

bool run_stalled(const Config& c) {
    PipelineRun p{};
    PipelineSetup setup{c.blockframe, c.feedsend, 0, STALLED_RATE};
    if (!start_pipeline_run(c.relayhub, setup, c.pipeline_warmup_seconds, "stalled", &p,
                            relay_options(c))) {
        return false;
    }
    // Odd listeners stall, even ones keep up, so that neither kind joins first.
    auto n = static_cast<std::size_t>(c.stalled_listeners);
    Crowd crowd = new_crowd(p.relay.port, 2 * n);
    for (std::size_t k = 1; k < crowd.listeners.size(); k += 2) crowd.listeners[k].mode = STALL;
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) crowd_join(&crowd, k);
    std::vector<QueueWatch> watches(crowd.listeners.size(), QueueWatch{});
    std::int64_t end = now_ns() + seconds_to_ns(c.stalled_seconds);
    std::int64_t next_sample = 0;
    for (std::int64_t now = now_ns(); now < end; now = now_ns()) {
        // The relay's send queues, four times a second.
        if (now >= next_sample) {
            sample_queues(crowd, p.relay.port, &watches);
            next_sample = now + QUEUE_SAMPLE_NS;
        }
        // Reading, for the keepers and for the stallers until their first block.
        crowd_service(&crowd, SERVICE_WAIT_MS);
    }
    sample_queues(crowd, p.relay.port, &watches);
    stop_pipeline_run(&p);
    crowd_end(&crowd);
    StalledFigures f = collect_stalled(crowd, watches);
    return end_run(stalled_report(c, crowd, f),
                   crowd_stream_bytes(crowd) > 0 ? nullptr : NO_STREAM_BYTE);
}
