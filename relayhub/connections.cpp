// SPDX-License-Identifier: MIT
#include "connections.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "players.h"

namespace {

ConnectionTable table;          // entries[0] is the listener for the life of the process
sockaddr_in listen_address;     // written by open_listener, read by accept_client's log line
sockaddr_in last_peer_address;  // written by accept_client, read only by its log line

constexpr std::uint8_t REQUEST_END[4] = {0x0D, 0x0A, 0x0D, 0x0A};  // CR LF CR LF

// With every record in use there is no place for a new connection. Taking it off the backlog
// and closing it at once tells the client at once, instead of leaving it to wait there
// unanswered. No log line: the accept log lists only connections that got a record.
void refuse_client(int listen_fd) {
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd >= 0) close_socket(fd);
}

}  // namespace

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, O_NONBLOCK); }

void set_send_buffer(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int open_tcp_socket() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) set_nonblocking(fd);  // keeps socket's errno when it failed
    return fd;
}

void close_socket(int fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

int open_listener(int port) {
    int fd = open_tcp_socket();
    if (fd < 0) return -1;
    // A restarted relay must reopen its port at once, while its old connections still sit in
    // TIME_WAIT; a port that another socket is listening on still fails with EADDRINUSE.
    int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    std::memset(&listen_address, 0, sizeof listen_address);
    listen_address.sin_family = AF_INET;
    listen_address.sin_addr.s_addr = htonl(INADDR_ANY);
    listen_address.sin_port = htons(static_cast<std::uint16_t>(port));  // only the low 16 bits
    if (bind(fd, reinterpret_cast<const sockaddr*>(&listen_address), sizeof listen_address) == 0 &&
        listen(fd, -1) == 0) {  // -1: the largest backlog the system allows
        return fd;
    }
    // shutdown of a socket that never connected fails too (ENOTCONN); the caller's message
    // must show why bind or listen failed, so their errno is put back after the clean-up.
    int err = last_error();
    close_socket(fd);
    errno = err;
    return -1;
}

int accept_client(int listen_fd) {
    socklen_t length = sizeof last_peer_address;
    int fd = accept(listen_fd, reinterpret_cast<sockaddr*>(&last_peer_address), &length);
    if (fd < 0) return 0;
    // inet_ntoa answers in one static buffer, so the first text is copied before the second.
    char listen_text[INET_ADDRSTRLEN];
    std::snprintf(listen_text, sizeof listen_text, "%s", inet_ntoa(listen_address.sin_addr));
    std::fprintf(stderr, "%s:%i -> %s:%i\n", listen_text, ntohs(listen_address.sin_port),
                 inet_ntoa(last_peer_address.sin_addr), ntohs(last_peer_address.sin_port));
    set_nonblocking(fd);
    return fd;
}

int recv_some(int fd, std::uint8_t* dst, int n) {
    return static_cast<int>(recv(fd, dst, static_cast<std::size_t>(n), 0));
}

int send_some(int fd, const std::uint8_t* src, int n) {
    return static_cast<int>(send(fd, src, static_cast<std::size_t>(n), 0));
}

void add_connection(int fd, ConnectionState state) {
    Connection& c = table.entries[table.count];
    table.count += 1;
    c.fd = fd;
    c.state = state;
    c.fill = 0;
    c.header_end = 0;
    c.position = 0;
    c.started = false;
    c.retired = false;
    // Not zeroed: only the bytes below fill are ever read. A failed allocation ends the process.
    c.buffer = new std::uint8_t[RECEIVE_BUFFER_SIZE];
}

void remove_connection(std::uint32_t i) {
    // Whole records move, buffer ownership included; the order of the others stays.
    for (std::uint32_t k = i; k + 1 < table.count; ++k) table.entries[k] = table.entries[k + 1];
    table.count -= 1;
}

void drop_connection(std::uint32_t i) {
    close_socket(table.entries[i].fd);
    delete[] table.entries[i].buffer;
    remove_connection(i);
}

Connection& connection_at(std::uint32_t i) { return table.entries[i]; }

std::uint32_t connection_count() { return table.count; }

std::uint32_t find_request_end(const std::uint8_t* buffer, std::uint32_t old_fill,
                               std::uint32_t received) {
    std::uint32_t end = old_fill + received;
    if (end < 4) return 0;
    // Positions before old_fill - 3 lie wholly in bytes an earlier search has tested already.
    std::uint32_t k = old_fill >= 3 ? old_fill - 3 : 0;
    for (; k + 4 <= end; ++k) {
        if (std::memcmp(buffer + k, REQUEST_END, 4) == 0) return k + 4;
    }
    return 0;
}

void poll_pass() {
    // count is read afresh at every test, so a record added during the pass is visited in it.
    for (std::uint32_t i = 0; i < table.count; ++i) {
        Connection& c = table.entries[i];
        if (c.state == LISTENER) {
            if (table.count == MAX_CONNECTIONS) {
                refuse_client(c.fd);
                continue;
            }
            int fd = accept_client(c.fd);
            if (fd > 0) add_connection(fd, PENDING);  // read for the first time later this pass
            continue;
        }
        int r = recv_some(c.fd, c.buffer + c.fill, static_cast<int>(RECEIVE_BUFFER_SIZE - c.fill));
        StepAnswer answer = REMOVE;  // a read of 0 (peer closed) or any error but EAGAIN
        if (r > 0) {
            auto received = static_cast<std::uint32_t>(r);
            // Only a PENDING record is classified by its request end: a source's stream is not
            // searched for one byte by byte for as long as it runs.
            if (c.state == PENDING && c.header_end == 0) {
                c.header_end = find_request_end(c.buffer, c.fill, received);
            }
            c.fill += received;
            answer = handle_data(i);
        } else if (r < 0 && last_error() == EAGAIN) {
            answer = handle_idle(i);
        }
        if (answer == REMOVE) {
            drop_connection(i);
            // Lowering i makes the record that moved into slot i the next one visited, so a
            // removal neither skips a record nor visits one twice.
            --i;
        }
    }
}

void run_poll_loop() {
    for (;;) {
        // The sleep ends a period after the pass began, not after it ended: a pause after each
        // pass would add the pass's own time (over a millisecond with a full table) to every
        // listener's 10 ms and lower its ceiling below the stream rates it is meant to carry.
        std::uint32_t began = monotonic_ms();
        poll_pass();
        sleep_until_ms(began + POLL_PERIOD_MS);
    }
}
