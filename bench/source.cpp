// SPDX-License-Identifier: MIT
#include "source.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "clocks.h"
#include "process.h"

namespace testkit {
namespace {

// Blocks due at once are queued in one go up to this many, so a late wake-up catches up
// without an unbounded loop.
constexpr int BLOCKS_PER_PACE_MAX = 64;

}  // namespace

bool open_source(int port, double rate, std::uint32_t payload, Source* source) {
    *source = Source{};
    source->fd = connect_loopback(port, 3000);
    if (source->fd < 0) return false;
    fcntl(source->fd, F_SETFL, O_NONBLOCK);
    source->rate = rate;
    source->payload = payload;
    source->started_ns = now_ns();
    return true;
}

std::string test_block(std::uint64_t sequence, std::uint32_t payload) {
    return test_block(sequence, payload, wall_ns());
}

void flush_source(Source* source) {
    // Each send takes at least one byte or ends the loop, so it ends.
    while (!source->pending.empty()) {
        ssize_t n = send(source->fd, source->pending.data(), source->pending.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        source->pending.erase(0, static_cast<std::size_t>(n));
    }
}

void pace_source(Source* source) {
    double elapsed = static_cast<double>(now_ns() - source->started_ns) / 1e9;
    for (int k = 0; k < BLOCKS_PER_PACE_MAX && source->pending.empty(); ++k) {
        double due = static_cast<double>(source->bytes) / source->rate;
        if (elapsed < due) break;
        source->pending = test_block(source->next_sequence, source->payload);
        source->bytes += source->pending.size();
        source->next_sequence += 1;
        flush_source(source);
    }
    flush_source(source);
}

void send_ahead(Source* source, std::uint64_t bytes) {
    std::uint64_t from = source->bytes;
    while (source->bytes - from < bytes) {
        std::string block = test_block(source->next_sequence, source->payload);
        source->pending += block;
        source->bytes += block.size();
        source->next_sequence += 1;
    }
    source->started_ns -= seconds_to_ns(static_cast<double>(source->bytes - from) / source->rate);
    flush_source(source);
}

void close_source(Source* source) {
    if (source->fd >= 0) close(source->fd);
    source->fd = -1;
}

bool start_source_run(const std::string& relayhub_path, double rate, std::uint32_t payload,
                      const char* name, Relay* relay, Source* source,
                      const std::vector<std::string>& relay_options) {
    if (!start_relay(relayhub_path, relay, relay_options)) {
        std::printf("\n%s: relayhub did not start\n", name);
        return false;
    }
    if (!open_source(relay->port, rate, payload, source)) {
        std::printf("\n%s: the source could not connect\n", name);
        stop_relay(relay);
        return false;
    }
    return true;
}

}  // namespace testkit
