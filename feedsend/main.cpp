// SPDX-License-Identifier: MIT
// feedsend: the producer's side. Copies standard input into a connection in pieces of 1460
// bytes, with a progress line after each; 5 seconds after a connection ends it connects again
// and goes on with its input. It frames nothing: the input must already be a block stream for
// the relay to take the connection as its source. With a block stream every connection begins
// at a block's marker, so the relay takes each later connection as its source again and never
// appends the rest of a block whose start it did not get; other input goes on with the byte
// after the last one read.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "arguments.h"
#include "command_line.h"
#include "input_framing.h"
#include "outbound.h"
#include "platform.h"
#include "send_report.h"
#include "wire.h"

namespace {

constexpr int RECONNECT_PAUSE_MS = 5000;

// The command line's, set once before anything else runs.
struct Arguments {
    const char* host;
    int port;
};

// Module state.
Arguments arguments;
std::uint8_t piece[PIECE_SIZE];
InputFraming framing;  // the framing of all input read so far, by any connection

ArgumentAnswer read_arguments(int argc, char** argv) {
    if (argc < 3) return ARGUMENTS_UNUSABLE;
    arguments.host = argv[1];
    if (!take_server_arguments("feedsend", argv[1], argv[2], &arguments.port)) {
        return ARGUMENT_REPORTED;
    }
    return ARGUMENTS_TAKEN;
}

constexpr char USAGE[] =
    "Usage: \n1) dir | feedsend @127.0.0.1 8888 2>log\n"
    "2) dir | feedsend www.example.com 80   2>log";
constexpr CommandLine COMMAND_LINE = {"feedsend", USAGE, NETWORK_PROGRAM, read_arguments};

// Reads and discards input up to the next block boundary: the rest of a block whose start went
// out on a connection that has ended. Moves what follows the boundary in the last read to the
// front of piece and returns its length (1 to PIECE_SIZE); 0 when the input ends or fails first.
std::size_t skip_to_boundary() {
    for (;;) {
        std::size_t n = std::fread(piece, 1, PIECE_SIZE, stdin);
        if (n == 0) return 0;
        std::size_t from = framing_advance(&framing, piece, n);
        if (from < n) {
            std::memmove(piece, piece + from, n - from);
            return n - from;
        }
    }
}

// Sends input until it ends, a read fails or a send fails. The input is never rewound: the
// next connection reads on from wherever this one stopped, after the rest of a block cut short.
void send_input(int fd) {
    std::uint32_t started = clock_ms();
    std::uint64_t total = 0;  // 64 bits: a connection may carry more than 2^31 bytes
    std::size_t kept = 0;     // bytes at the front of piece that begin a block, already followed
    if (!framing_at_boundary(&framing)) {
        kept = skip_to_boundary();
        if (kept == 0) return;  // end of input or a read error
    }
    for (;;) {
        // A piece that begins with kept bytes is filled up to its full size like any other, so
        // the pieces keep step with the blocks from the boundary on: with blocks of k x 1460
        // bytes each block still leaves the moment its last byte is read.
        std::size_t n = kept;
        if (kept < PIECE_SIZE) n += std::fread(piece + kept, 1, PIECE_SIZE - kept, stdin);
        framing_advance(&framing, piece + kept, n - kept);
        kept = 0;
        if (n == 0) return;  // end of input or a read error
        // A lost piece leaves the framing where it ends: the next connection skips the rest
        // of its block.
        if (send_or_report(fd, piece, static_cast<int>(n)) == 1) return;
        total += n;
        std::uint32_t elapsed = clock_ms() - started;  // unsigned: right across the clock's wrap
        std::fprintf(stderr, "%" PRIu64 " bytes in %5.1fs\r", total,
                     static_cast<double>(elapsed) / 1000.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = open_command_line(COMMAND_LINE, argc, argv); status != GO_ON) return status;
    for (;;) {
        int fd = connect_to_server(arguments.host, arguments.port);
        send_input(fd);
        close_fd(fd);
        sleep_ms(RECONNECT_PAUSE_MS);
    }
}
