// SPDX-License-Identifier: MIT
// feedlink: one relay's listener and another's source. Reads the stream from an upstream relay
// as a listener and sends it, whole blocks only, to a downstream relay as that relay's source,
// so relays can be chained into tiers. Either connection is made again when it ends: the
// downstream one is kept while the upstream one is re-made, so the downstream relay's listeners
// see only the gap, and blocks already forwarded are not forwarded again.

#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "arguments.h"
#include "command_line.h"
#include "forwarded.h"
#include "outbound.h"
#include "platform.h"
#include "send_report.h"
#include "wire.h"

namespace {

// An upstream that sends nothing for this long is taken for gone (a host that vanished without a
// reset would otherwise hold the connection for good); feedfetch waits as long.
constexpr int UPSTREAM_IDLE_LIMIT_S = 60;
// A downstream that takes nothing for this long is taken for gone; a relay reads its source
// every 10 ms, so a live one never comes near it.
constexpr int DOWNSTREAM_STALL_LIMIT_S = 10;
constexpr char REQUEST[] = "GET / HTTP/1.0\r\n\r\n";

// The command line's, set once before anything else runs.
struct Arguments {
    const char* up_host;
    int up_port;
    const char* down_host;
    int down_port;
};

// Module state. The block buffer is static and zero at start: only the pages the largest block
// so far has touched become resident, and nothing is allocated per block.
Arguments arguments;
std::uint8_t block[RELAY_BLOCK_MAX];
ForwardedRing forwarded;
int downstream = -1;  // the downstream connection, -1 while there is none

constexpr char USAGE[] =
    "Usage: \n1) feedlink @10.0.0.1 8888 @127.0.0.1 8888 2>log\n"
    "2) feedlink origin.example.com 8888 @127.0.0.1 8888 2>log";

ArgumentAnswer read_arguments(int argc, char** argv) {
    if (argc < 5) return ARGUMENTS_UNUSABLE;
    arguments.up_host = argv[1];
    arguments.down_host = argv[3];
    if (!take_server_arguments("feedlink", argv[1], argv[2], &arguments.up_port) ||
        !take_server_arguments("feedlink", argv[3], argv[4], &arguments.down_port)) {
        return ARGUMENT_REPORTED;
    }
    return ARGUMENTS_TAKEN;
}

constexpr CommandLine COMMAND_LINE = {"feedlink", USAGE, NETWORK_PROGRAM, read_arguments};

// How an upstream connection ended, for its log line and for the pause before the next one.
enum UpstreamEnd : std::int32_t {
    ENDED = 1,         // closed, reset or silent after at least one block
    ENDED_EMPTY = 2,   // closed, reset or silent before the response header was whole
    WRONG_HEADER = 3,  // the response is not a relay's header
    NOT_A_BLOCK = 4,   // no marker where a block begins, or a length no relay holds
};

void set_timeout(int fd, int option, int seconds) {
    timeval limit{seconds, 0};
    setsockopt(fd, SOL_SOCKET, option, &limit, sizeof limit);
}

// Receives exactly n bytes into dst. Returns 1 when they all arrived, 0 when the peer closed,
// the recv failed or the idle limit passed first.
int recv_exactly(int fd, std::uint8_t* dst, std::uint32_t n) {
    std::uint32_t got = 0;
    while (got < n) {
        ssize_t r = recv(fd, dst + got, n - got, 0);
        if (r <= 0) return 0;
        got += static_cast<std::uint32_t>(r);
    }
    return 1;
}

// Sends one whole block downstream, connecting first when there is no connection. A failed send
// loses the connection and the block: the next block goes out on a new connection, which then
// begins at a block boundary as a source must. Returns nothing: the block counts as forwarded
// either way, so a new upstream connection does not bring it back.
void send_downstream(const char* host, int port, std::uint32_t size) {
    bool fresh = false;
    if (downstream == -1) {
        std::fprintf(stderr, "downstream %s %d\n", host, port);
        downstream = connect_to_server(host, port);
        set_timeout(downstream, SO_SNDTIMEO, DOWNSTREAM_STALL_LIMIT_S);
        fresh = true;
    }
    if (send_or_report(downstream, block, static_cast<int>(size)) == 0) return;
    std::fprintf(stderr, "downstream lost\n");
    close_fd(downstream);
    downstream = -1;
    // A relay that drops its source at once would otherwise be reconnected to block by block.
    if (fresh) connection_failed();
}

// Follows one upstream connection: checks the response header, then reads block after block and
// forwards each once its last byte is in, unless it retraces blocks already forwarded.
UpstreamEnd follow_upstream(int up, const char* down_host, int down_port,
                            std::uint32_t* forwarded_count, std::uint32_t* skipped_count) {
    if (send_or_report(up, REQUEST, static_cast<int>(sizeof REQUEST - 1)) == 1) return ENDED_EMPTY;
    if (recv_exactly(up, block, RESPONSE_HEADER_SIZE) == 0) return ENDED_EMPTY;
    if (std::memcmp(block, RESPONSE_HEADER, RESPONSE_HEADER_SIZE) != 0) return WRONG_HEADER;
    forwarded_new_connection(&forwarded);
    for (;;) {
        if (recv_exactly(up, block, BLOCK_HEADER_SIZE) == 0) return ENDED;
        if (!block_frames_at(block)) return NOT_A_BLOCK;
        BlockHeader h = read_block_header(block);
        if (recv_exactly(up, block + BLOCK_HEADER_SIZE, h.length) == 0) return ENDED;
        std::uint32_t n = BLOCK_HEADER_SIZE + h.length;  // at most RELAY_BLOCK_MAX: it frames
        ForwardedBlock seen{h.length, h.opaque, fnv1a(FNV1A_BASIS, block, n)};
        if (forwarded_decide(&forwarded, seen) == SKIP) {
            *skipped_count += 1;
            continue;
        }
        send_downstream(down_host, down_port, n);
        forwarded_record(&forwarded, seen);
        *forwarded_count += 1;
    }
}

const char* end_text(UpstreamEnd end) {
    switch (end) {
        case ENDED:
            return "upstream ended";
        case ENDED_EMPTY:
            return "upstream ended before its header";
        case WRONG_HEADER:
            return "upstream sent no relay header";
        case NOT_A_BLOCK:
            return "upstream sent no block";
    }
    return "upstream ended";
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = open_command_line(COMMAND_LINE, argc, argv); status != GO_ON) return status;
    for (;;) {
        std::fprintf(stderr, "upstream %s %d\n", arguments.up_host, arguments.up_port);
        int up = connect_to_server(arguments.up_host, arguments.up_port);
        set_timeout(up, SO_RCVTIMEO, UPSTREAM_IDLE_LIMIT_S);
        std::uint32_t forwarded_count = 0;
        std::uint32_t skipped_count = 0;
        UpstreamEnd end = follow_upstream(up, arguments.down_host, arguments.down_port,
                                          &forwarded_count, &skipped_count);
        close_fd(up);
        std::fprintf(stderr, "%s: %u blocks forwarded, %u skipped\n", end_text(end),
                     forwarded_count, skipped_count);
        // Any end before a block was forwarded counts as a failed attempt, so a server that
        // drops or refuses the stream is not reconnected to as fast as it drops it.
        if (forwarded_count == 0 && skipped_count == 0) connection_failed();
    }
}
