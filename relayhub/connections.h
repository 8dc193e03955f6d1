// SPDX-License-Identifier: MIT
#pragma once
// connections: the server's table of open sockets, its non-blocking socket operations and the
// poll loop that visits every record once per pass. Only this module adds or removes records;
// what the bytes of a record mean is the players module's business.

#include <cstdint>

constexpr std::uint32_t MAX_CONNECTIONS = 256;  // the listener's record included
constexpr std::uint32_t RECEIVE_BUFFER_SIZE = 65536;
constexpr int POLL_INTERVAL_MS = 10;
// A connection that is neither a source nor a listener this long after its accept is closed:
// a request needs a moment, not minutes, and 255 connections that never finish one would
// otherwise hold every record for good and lock listeners out.
constexpr std::uint32_t PENDING_LIMIT_MS = 10000;

enum ConnectionState : std::int32_t { LISTENER = 1, PENDING = 2, SOURCE = 3, PLAYER = 4 };

// The far end of an accepted connection, in host byte order (127.0.0.1 is 0x7F000001).
struct Peer {
    std::uint32_t address;
    int port;
};

struct Connection {
    int fd;  // owned: closed when the record is torn down
    ConnectionState state;
    Peer peer;
    std::uint32_t accepted_ms;  // monotonic_ms() of the pass that accepted it
    std::uint8_t* buffer;       // owned: RECEIVE_BUFFER_SIZE bytes, released at teardown
    std::uint32_t fill;
    std::uint32_t header_end;  // 0 until a request end has been found
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
// A non-blocking socket listening on the IPv4 address (host byte order; 0 for every
// interface) at port (0 to 65535; 0: the system chooses), or -1 with errno as the failed
// socket, bind or listen left it.
int open_listener(std::uint32_t address, int port);
// Accepts one waiting connection, logs it on standard error as
// "<listen address>:<listen port> -> <peer address>:<peer port>\n" and makes it non-blocking.
// Returns its descriptor, with its far end in *peer, or 0 when nothing was accepted.
int accept_client(int listen_fd, Peer* peer);
// One recv, no loop: the poll loop is back in 10 ms anyway. Returns the byte count, 0 when the
// peer has closed, -1 with errno set (EAGAIN: nothing has arrived yet).
int recv_some(int fd, std::uint8_t* dst, int n);
// One send with flags 0, no retry: the bytes the system took, or -1 with errno set (EAGAIN:
// the send buffer is full). SIGPIPE is ignored for the process, so a vanished peer gives -1.
int send_some(int fd, const std::uint8_t* src, int n);

// Appends a record with a fresh receive buffer, accepted at now_ms (monotonic); the process
// ends if none can be allocated. The caller makes sure a record is free.
void add_connection(int fd, ConnectionState state, Peer peer, std::uint32_t now_ms);
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

// One pass over the table at now_ms (monotonic): the listener accepts at most one connection,
// a PENDING record past PENDING_LIMIT_MS is torn down, every other record gets one read
// followed by its data or idle step or its teardown.
void poll_pass(std::uint32_t now_ms);
// Passes for ever, POLL_INTERVAL_MS apart.
[[noreturn]] void run_poll_loop();
