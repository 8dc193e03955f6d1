// SPDX-License-Identifier: MIT
#include "metrics.h"

#include <time.h>

#include <cstring>
#include <initializer_list>

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

void put_counters(HandoverImage& image, std::uint32_t now_ms) {
    for (std::uint64_t n :
         {all.accepted, all.table_full, all.pending_timeouts, all.sources_refused, all.source_bytes,
          all.blocks, all.listener_bytes, all.metrics_refused, all.reloads}) {
        put_u64(image, n);
    }
    for (std::uint64_t n : all.dropped) put_u64(image, n);
    put_u8(image, all.any_source_byte ? 1 : 0);
    put_u8(image, all.any_block ? 1 : 0);
    // Ages, unsigned: right across the wrap of the clock.
    put_u32(image, now_ms - all.last_source_byte_ms);
    put_u32(image, now_ms - all.last_block_ms);
    put_u32(image, now_ms - all.started_ms);
    std::uint64_t start_bits = 0;
    std::memcpy(&start_bits, &all.start_time_seconds, sizeof start_bits);
    put_u64(image, start_bits);
}

bool take_counters(HandoverReader& reader, std::uint32_t now_ms) {
    Counters c{};
    for (std::uint64_t* n :
         {&c.accepted, &c.table_full, &c.pending_timeouts, &c.sources_refused, &c.source_bytes,
          &c.blocks, &c.listener_bytes, &c.metrics_refused, &c.reloads}) {
        *n = take_u64(reader);
    }
    for (std::uint64_t& n : c.dropped) n = take_u64(reader);
    c.any_source_byte = take_u8(reader) != 0;
    c.any_block = take_u8(reader) != 0;
    c.last_source_byte_ms = now_ms - take_u32(reader);
    c.last_block_ms = now_ms - take_u32(reader);
    c.started_ms = now_ms - take_u32(reader);
    std::uint64_t start_bits = take_u64(reader);
    std::memcpy(&c.start_time_seconds, &start_bits, sizeof start_bits);
    if (reader.failed) return false;
    c.reloads += 1;
    all = c;
    return true;
}

void forget_counters() {
    all = Counters{};
    note_start();
}
