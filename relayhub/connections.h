// SPDX-License-Identifier: MIT
#pragma once
// connections: the server's table of open sockets, its non-blocking socket operations and the
// poll loop that visits every record once per pass. Only this module adds or removes records;
// what the bytes of a record mean is the players module's business.

#include <cstdint>

constexpr std::uint32_t MAX_CONNECTIONS = 256;  // the listener's record included
constexpr std::uint32_t RECEIVE_BUFFER_SIZE = 65536;
// A pass begins every POLL_PERIOD_MS (at once after one that took longer): each record gets
// one read per period, and each listener one piece, so a listener's ceiling is 1460 bytes per
// 10 ms, 146,000 bytes per second, however many records a pass visits.
constexpr std::uint32_t POLL_PERIOD_MS = 10;

enum ConnectionState : std::int32_t { LISTENER = 1, PENDING = 2, SOURCE = 3, PLAYER = 4 };

struct Connection {
    int fd;  // owned: closed when the record is torn down
    ConnectionState state;
    std::uint8_t* buffer;  // owned: RECEIVE_BUFFER_SIZE bytes, released at teardown
    std::uint32_t fill;
    std::uint32_t header_end;  // 0 until a request end has been found; searched while PENDING
    std::uint64_t position;    // absolute stream offset of a PLAYER's next byte
    bool started;              // PLAYER: has been sent at least one stream byte
    // To be torn down at its next step: a PLAYER that was sent bytes the window then discarded,
    // or a SOURCE that a newer source has taken over from.
    bool retired;
};

struct ConnectionTable {
    Connection entries[MAX_CONNECTIONS];  // entries[0] is the listener for the life of the process
    std::uint32_t count;
};

// What a per-record step tells the poll loop; only the poll loop tears records down.
enum StepAnswer : std::int32_t { KEEP, REMOVE };

// Exactly O_NONBLOCK: a new socket has no other status flag worth keeping.
void set_nonblocking(int fd);
// Sets the socket's send buffer to bytes (SO_SNDBUF), which also stops the system from growing
// it; the system doubles the figure for its own bookkeeping. The result is not examined.
void set_send_buffer(int fd, int bytes);
// A non-blocking IPv4 TCP socket, or -1.
int open_tcp_socket();
// shutdown of both directions, then close; failures of either are ignored.
void close_socket(int fd);
// A non-blocking socket listening on all interfaces at the low 16 bits of port (0: the system
// chooses), or -1 with errno as the failed socket, bind or listen left it.
int open_listener(int port);
// Accepts one waiting connection, logs it on standard error as
// "<listen address>:<listen port> -> <peer address>:<peer port>\n" and makes it non-blocking.
// Returns its descriptor, or 0 when nothing was accepted.
int accept_client(int listen_fd);
// One recv, no loop: the poll loop is back in 10 ms anyway. Returns the byte count, 0 when the
// peer has closed, -1 with errno set (EAGAIN: nothing has arrived yet).
int recv_some(int fd, std::uint8_t* dst, int n);
// One send with flags 0, no retry: the bytes the system took, or -1 with errno set (EAGAIN:
// the send buffer is full). SIGPIPE is ignored for the process, so a vanished peer gives -1.
int send_some(int fd, const std::uint8_t* src, int n);

// Appends a record with a fresh receive buffer; the process ends if none can be allocated.
// The caller makes sure a record is free.
void add_connection(int fd, ConnectionState state);
// Deletes record i and moves every later record one slot down, in order. Touches neither the
// socket nor the buffer of record i.
void remove_connection(std::uint32_t i);
// Teardown of record i: its socket closed, its buffer released, the record removed.
void drop_connection(std::uint32_t i);
// The live record i (below connection_count()); valid until the next removal.
Connection& connection_at(std::uint32_t i);
std::uint32_t connection_count();

// The request-end search after a read of received bytes (above 0) that landed behind old_fill
// bytes. Tests every position whose four bytes end inside the new bytes, so a CR LF CR LF
// split across reads is found too. Returns the offset just past the first request end, or 0.
std::uint32_t find_request_end(const std::uint8_t* buffer, std::uint32_t old_fill,
                               std::uint32_t received);

// One pass over the table: the listener accepts at most one connection, every other record
// gets one read followed by its data or idle step or its teardown.
void poll_pass();
// Passes for ever, one every POLL_PERIOD_MS.
[[noreturn]] void run_poll_loop();
