// SPDX-License-Identifier: MIT
// feedfetch: the simplest listener. Connects, sends the contents of a header file, writes every
// byte that comes back to standard output until the peer closes or 60 seconds pass without
// data, then starts over: at once after a connection that brought data or stayed open, and after
// a growing pause (outbound's) when the peer closed or reset it before its first byte.

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdio>

#include "arguments.h"
#include "command_line.h"
#include "outbound.h"
#include "platform.h"
#include "send_report.h"
#include "wire.h"

namespace {

constexpr int IDLE_LIMIT_S = 60;

// The command line's, set once before anything else runs.
struct Arguments {
    const char* host;
    int port;
    const char* header_path;
};

// Module state.
Arguments arguments;
std::uint8_t header_piece[PIECE_SIZE];
std::uint8_t received[PIECE_SIZE];

ArgumentAnswer read_arguments(int argc, char** argv) {
    if (argc < 4) return ARGUMENTS_UNUSABLE;
    arguments.host = argv[1];
    arguments.header_path = argv[3];
    if (!take_server_arguments("feedfetch", argv[1], argv[2], &arguments.port)) {
        return ARGUMENT_REPORTED;
    }
    return ARGUMENTS_TAKEN;
}

constexpr char USAGE[] =
    "Usage: \n1) feedfetch @127.0.0.1 8888 http_header_file >data 2>log\n"
    "2) feedfetch www.example.com 80 http_header_file >data 2>log";
constexpr CommandLine COMMAND_LINE = {"feedfetch", USAGE, NETWORK_PROGRAM, read_arguments};

// Sends the header file, opened anew for every connection so that a change to it takes effect
// at the next one. A file that cannot be opened is reported and nothing is sent.
void send_header_file(int fd, const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "cannot open header file %s\n", path);
        return;
    }
    for (;;) {
        std::size_t n = std::fread(header_piece, 1, PIECE_SIZE, file);
        if (n == 0) break;
        if (send_or_report(fd, header_piece, static_cast<int>(n)) == 1) break;
    }
    std::fclose(file);
}

// How a connection's reply ended: ENDED_EMPTY when the peer closed or the recv failed before
// a single byte arrived (a server that takes connections only to drop them), ENDED otherwise
// (after data, or after IDLE_LIMIT_S seconds of silence).
enum ReplyEnd : std::int32_t { ENDED = 1, ENDED_EMPTY = 2 };

// Copies what arrives to standard output, each piece flushed before the next wait, until the
// peer closes, a recv fails or nothing comes for IDLE_LIMIT_S seconds.
ReplyEnd receive_reply(int fd) {
    fd_set read_set;
    bool any_byte = false;
    for (;;) {
        // Both filled anew: select leaves only the ready descriptors in the set, and may
        // change the limit.
        FD_ZERO(&read_set);
        FD_SET(fd, &read_set);
        timeval limit{IDLE_LIMIT_S, 0};
        select(fd + 1, &read_set, nullptr, nullptr, &limit);
        if (!FD_ISSET(fd, &read_set)) return ENDED;  // nothing for 60 seconds
        ssize_t n = recv(fd, received, sizeof received, 0);
        if (n <= 0) return any_byte ? ENDED : ENDED_EMPTY;
        any_byte = true;
        std::fwrite(received, 1, static_cast<std::size_t>(n), stdout);
        std::fflush(stdout);
        std::fprintf(stderr, "recv %i; ", static_cast<int>(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = open_command_line(COMMAND_LINE, argc, argv); status != GO_ON) return status;
    for (;;) {
        int fd = connect_to_server(arguments.host, arguments.port);
        // A descriptor set holds only descriptors below FD_SETSIZE; one above it cannot be
        // waited on, so it is given up, and counts as failed so that the next one waits.
        if (fd >= FD_SETSIZE) {
            close_fd(fd);
            connection_failed();
            continue;
        }
        send_header_file(fd, arguments.header_path);
        // A peer that drops every connection before its first byte would otherwise be
        // reconnected to as fast as it drops them.
        if (receive_reply(fd) == ENDED_EMPTY) connection_failed();
        close_fd(fd);
    }
}
