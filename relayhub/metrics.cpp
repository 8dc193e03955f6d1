// SPDX-License-Identifier: MIT
#include "metrics.h"

#include <time.h>

#include "platform.h"

namespace {

Counters all;           // written by the count_ functions as things happen
std::uint32_t pass_ms;  // note_pass's reading, for the counters that keep a time

}  // namespace

const Counters& counters() { return all; }

void note_start() {
    all.started_ms = monotonic_ms();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    all.start_time_seconds =
        static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void note_pass(std::uint32_t now_ms) { pass_ms = now_ms; }
void count_accepted() { all.accepted += 1; }
void count_table_full() { all.table_full += 1; }
void count_pending_timeout() { all.pending_timeouts += 1; }
void count_source_refused() { all.sources_refused += 1; }
void count_listener_bytes(std::uint32_t n) { all.listener_bytes += n; }
void count_listener_dropped(DropReason reason) { all.dropped[reason] += 1; }
void count_metrics_refused() { all.metrics_refused += 1; }

void count_source_bytes(std::uint32_t n) {
    all.source_bytes += n;
    all.any_source_byte = true;
    all.last_source_byte_ms = pass_ms;
}

void count_blocks(std::uint64_t n) {
    if (n == 0) return;
    all.blocks += n;
    all.any_block = true;
    all.last_block_ms = pass_ms;
}
