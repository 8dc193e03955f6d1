// SPDX-License-Identifier: MIT
#pragma once
// connections: the server's table of open sockets and its non-blocking socket operations. Only
// this module adds or removes records and opens or closes sockets; the poll loop decides when,
// the players module what the bytes of a record mean. A record's socket is watched for
// readiness from its addition to its teardown.

#include <cstdint>

#include "handover.h"

// Records in the table, the listener's included, unless -c says otherwise.
constexpr std::uint32_t MAX_CONNECTIONS = 256;
// The most -c takes: the most descriptors a Linux process may ever hold (fs.nr_open's default).
constexpr std::uint32_t TABLE_SIZE_MAX = 1048576;
// Descriptors the relay holds beside its records: the three standard ones, the readiness
// descriptor, the metrics socket and the /proc file a metrics answer reads, with room to spare.
// The metrics port's scrapes and whatever the relay was started with come on top.
constexpr std::uint32_t DESCRIPTORS_BESIDE_TABLE = 16;
// A record's memory follows its state. A PENDING record takes a request buffer at its first
// read: one that holds more than REQUEST_BUFFER_SIZE - 1 bytes is classified all the same, so
// that is all a request ever needs. A SOURCE reads into a buffer of RECEIVE_BUFFER_SIZE, whose
// bytes go to the window in the same step. A PLAYER holds none: whatever it sends is read
// into one scratch buffer that all players share and that nothing reads. The LISTENER never
// reads. So a listener costs its record and nothing more.
constexpr std::uint32_t REQUEST_BUFFER_SIZE = 8192;
constexpr std::uint32_t RECEIVE_BUFFER_SIZE = 65536;

enum ConnectionState : std::int32_t { LISTENER = 1, PENDING = 2, SOURCE = 3, PLAYER = 4 };

// The far end of an accepted connection, or for the listener its own address and port as
// given; the address in host byte order (127.0.0.1 is 0x7F000001).
struct Peer {
    std::uint32_t address;
    int port;
};

struct Connection {
    int fd;  // owned: closed when the record is torn down
    ConnectionState state;
    Peer peer;
    std::uint32_t accepted_ms;  // monotonic_ms() of the pass that accepted it
    std::uint32_t buffer_size;  // of buffer; 0 while it has none
    // Owned: REQUEST_BUFFER_SIZE bytes while PENDING (none before its first read),
    // RECEIVE_BUFFER_SIZE as a SOURCE, none as a PLAYER or the LISTENER; released at teardown.
    std::uint8_t* buffer;
    std::uint32_t fill;
    std::uint32_t header_end;  // 0 until a request end has been found; searched while PENDING
    std::uint64_t position;    // absolute stream offset of a PLAYER's next byte
    bool started;              // PLAYER: has been sent at least one stream byte
    // To be torn down at its next step: a PLAYER that was sent bytes the window then discarded,
    // or a SOURCE that a newer source has taken over from.
    bool retired;
};

struct ConnectionTable {
    Connection* entries;  // capacity records, reserved once; entries[0] is the listener
    std::uint32_t capacity;
    std::uint32_t count;
};

// What reserve_descriptors found: whether the process may hold `needed` descriptors, and the
// limit it ran into when not (the hard limit, or the soft one when raising it failed).
struct DescriptorLimit {
    bool enough;
    std::uint64_t needed;
    std::uint64_t limit;
};
// Raises the process's soft open-file limit to `needed`, as far as the hard limit allows.
// Calls setrlimit only when the soft limit is too low, so a relay whose limit is set from
// outside (a service unit's LimitNOFILE) never needs to.
DescriptorLimit reserve_descriptors(std::uint64_t needed);
// Reserves a table of capacity records (2 or more); false with errno set when it cannot be had.
bool open_table(std::uint32_t capacity);

// Sets the socket's send buffer to bytes (SO_SNDBUF), which also stops the system from growing
// it; the system doubles the figure for its own bookkeeping. The result is not examined.
void set_send_buffer(int fd, int bytes);
// A non-blocking socket listening on the IPv4 address (host byte order; 0 for every
// interface) at port (0 to 65535; 0: the system chooses), or -1 with errno as the failed
// socket, bind or listen left it.
int open_listener(std::uint32_t address, int port);
// With every record in use there is no place for a new connection. Taking it off the backlog
// and closing it at once tells the client at once, instead of leaving it to wait there
// unanswered. No log line: the accept log lists only connections that got a record. True when
// a connection was waiting.
bool refuse_client(int listen_fd);
// Accepts one waiting connection on the listener's socket, logs it on standard error as
// "<listen address>:<listen port> -> <peer address>:<peer port>\n"; the socket is non-blocking
// and closed on exec.
// Returns its descriptor, with its far end in *peer, or 0 when nothing was accepted.
int accept_client(const Connection& listener, Peer* peer);
// The same without the log line, for sockets outside the table (metrics scrapes).
int accept_quietly(int listen_fd, Peer* peer);
// shutdown of both directions, then close; failures of either are ignored.
void close_socket(int fd);
// One recv, no loop: the poll loop is back in 10 ms anyway. Returns the byte count, 0 when the
// peer has closed, -1 with errno set (EAGAIN: nothing has arrived yet).
int recv_some(int fd, std::uint8_t* dst, int n);
// One send with flags 0, no retry: the bytes the system took, or -1 with errno set (EAGAIN:
// the send buffer is full). SIGPIPE is ignored for the process, so a vanished peer gives -1.
int send_some(int fd, const std::uint8_t* src, int n);

// Appends a record without a buffer, accepted at now_ms (monotonic), and watches its socket.
// The caller makes sure a record is free (connection_count() below table_capacity()). The new
// record counts as ready, so it is read in the pass that added it.
void add_connection(int fd, ConnectionState state, Peer peer, std::uint32_t now_ms);
// Where record c's next read goes and how much it may take: behind what a PENDING record (its
// request buffer taken now, at its first read) or a SOURCE holds, or for a PLAYER the shared
// scratch buffer. The process ends if a buffer cannot be allocated.
struct ReadPlace {
    std::uint8_t* at;
    std::uint32_t room;  // 1 or more
};
ReadPlace read_place(Connection& c);
// Record c has just left PENDING, its bytes taken (fill 0): it gives its request buffer back. A
// SOURCE takes its receive buffer at its next read; a PLAYER never takes one.
void fit_buffer(Connection& c);
// Teardown of record i: its socket closed (shutdown of both directions, then close), its
// buffer released, and the record removed; every later record moves one slot down, in order.
void drop_connection(std::uint32_t i);
// The live record i (below connection_count()); valid until the next removal.
Connection& connection_at(std::uint32_t i);
std::uint32_t connection_count();
std::uint32_t table_capacity();

// A record's part of a reload's state image, besides a PENDING record's request bytes: what
// handover_size_max is given as record_bytes, with those bytes added.
constexpr std::uint32_t RECORD_IMAGE_BYTES = 64;
// The table's section of a reload's state image: every record in order, the listener first,
// with its socket, state, peer, age at now_ms, place in the stream and a PENDING record's
// request bytes. The sockets themselves pass through the exec.
void put_table(HandoverImage& image, std::uint32_t now_ms);
// Reads a section written by put_table into the empty table, each record accepted as long ago
// as it was then, so that a pending connection keeps its clock; positions may lie no further
// than stream_end. The sockets are not looked at and not watched yet (see check_descriptors
// and watch_table). False, with the table emptied again (its sockets left open), when a field
// is out of bounds: more records than the table holds, a state or a length no record can have,
// a listener that is not first.
bool take_table(HandoverReader& reader, std::uint32_t now_ms, std::uint64_t stream_end);
// Watches every record's socket, once readiness is open, after take_table.
void watch_table();
// Empties the table without closing its sockets, after a state image was refused.
void forget_table();

// Whether fd is a TCP socket of this process: listening on address (host byte order, 0 for
// every interface) and port (0: any), when listening is set; else a connected one.
bool is_our_socket(int fd, bool listening, std::uint32_t address, int port);
