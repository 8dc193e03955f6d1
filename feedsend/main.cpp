// feedsend: the producer's side. Copies standard input into a connection in pieces of 1460
// bytes, with a progress line after each; 5 seconds after a connection ends it connects again
// and goes on with its input where it stopped. It frames nothing: the input must already be a
// block stream for the relay to take the connection as its source.

#include <signal.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "outbound.h"
#include "platform.h"
#include "send_report.h"

namespace {

constexpr int PIECE_SIZE = 1460;
constexpr int RECONNECT_PAUSE_MS = 5000;

std::uint8_t piece[PIECE_SIZE];

// Sends input until it ends, a read fails or a send fails. The input is never rewound: the
// next connection reads on from wherever this one stopped.
void send_input(int fd) {
    std::uint32_t started = clock_ms();
    std::uint64_t total = 0;  // 64 bits: a connection may carry more than 2^31 bytes
    for (;;) {
        std::size_t n = std::fread(piece, 1, PIECE_SIZE, stdin);
        if (n == 0) return;  // end of input or a read error
        if (send_or_report(fd, piece, static_cast<int>(n)) == 1) return;  // the piece is lost
        total += n;
        std::uint32_t elapsed = clock_ms() - started;  // unsigned: right across the clock's wrap
        std::fprintf(stderr, "%" PRIu64 " bytes in %5.1fs\r", total,
                     static_cast<double>(elapsed) / 1000.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);  // a send to a vanished peer must come back as -1
    if (argc < 3) {
        std::puts(
            "Usage: \n1) dir | feedsend @127.0.0.1 8888 2>log\n"
            "2) dir | feedsend www.example.com 80   2>log");
        return 1;
    }
    const char* host = argv[1];
    int port = std::atoi(argv[2]);
    for (;;) {
        int fd = connect_to_server(host, port);
        send_input(fd);
        close_fd(fd);
        sleep_ms(RECONNECT_PAUSE_MS);
    }
}
