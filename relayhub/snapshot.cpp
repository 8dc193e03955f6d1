// SPDX-License-Identifier: MIT
#include "snapshot.h"

#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "connections.h"
#include "stream_window.h"

Snapshot take_snapshot(std::uint32_t now_ms) {
    Snapshot s{};
    for (std::uint32_t i = 0; i < connection_count(); ++i) {
        ConnectionState state = connection_at(i).state;
        s.listeners += state == PLAYER ? 1 : 0;
        s.sources += state == SOURCE ? 1 : 0;
        s.pending += state == PENDING ? 1 : 0;
    }
    const Counters& c = counters();
    s.connections_max = table_capacity();
    s.window_bytes = server_window().fill;
    s.accepted = c.accepted;
    s.table_full = c.table_full;
    s.pending_timeouts = c.pending_timeouts;
    s.sources_refused = c.sources_refused;
    s.source_bytes = c.source_bytes;
    s.blocks = c.blocks;
    s.listener_bytes = c.listener_bytes;
    s.metrics_refused = c.metrics_refused;
    s.reloads = c.reloads;
    std::memcpy(s.dropped, c.dropped, sizeof s.dropped);
    s.start_time_seconds = c.start_time_seconds;
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    s.wall_seconds = static_cast<double>(wall.tv_sec) + static_cast<double>(wall.tv_nsec) / 1e9;
    // Unsigned differences: right across the wrap of the clock.
    std::uint32_t since_byte = c.any_source_byte ? c.last_source_byte_ms : c.started_ms;
    std::uint32_t since_block = c.any_block ? c.last_block_ms : c.started_ms;
    s.source_idle_seconds = static_cast<double>(now_ms - since_byte) / 1000.0;
    s.block_idle_seconds = static_cast<double>(now_ms - since_block) / 1000.0;
    s.any_source_byte = c.any_source_byte;
    // Bytes alone are no stream: a source whose bytes frame no block feeds no listener.
    s.live = c.any_block && now_ms - c.last_block_ms < STREAM_LIVE_MS;
    return s;
}

void append(Text* t, const char* format, ...) {
    if (t->overflowed) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(t->out + t->length, t->size - t->length, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::uint32_t>(n) >= t->size - t->length) {
        t->overflowed = true;
        return;
    }
    t->length += static_cast<std::uint32_t>(n);
}

void append_health(const Snapshot& s, Text* t) {
    if (s.live) {
        append(t, "live");
    } else if (!s.any_source_byte) {
        append(t, "no source yet");
    } else if (s.source_idle_seconds * 1000 >= STREAM_LIVE_MS) {
        append(t, "no source byte for %u s", static_cast<unsigned>(s.source_idle_seconds));
    } else {
        append(t, "no complete block for %u s", static_cast<unsigned>(s.block_idle_seconds));
    }
}
