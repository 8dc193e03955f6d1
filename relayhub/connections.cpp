// SPDX-License-Identifier: MIT
#include "connections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "arguments.h"
#include "platform.h"
#include "readiness.h"

namespace {

ConnectionTable table;  // entries[0] is the listener for the life of the process

// Every socket the relay opens or accepts is non-blocking and closed on exec: a reload passes
// on exactly the descriptors it names, and no other.
constexpr int SOCKET_FLAGS = SOCK_NONBLOCK | SOCK_CLOEXEC;

// A non-blocking IPv4 TCP socket, or -1.
int open_tcp_socket() { return socket(AF_INET, SOCK_STREAM | SOCKET_FLAGS, 0); }

// What every PLAYER's bytes are read into, and never read from.
std::uint8_t player_scratch[RECEIVE_BUFFER_SIZE];

// Gives the whole pages inside a buffer of size bytes back to the system, then frees it. The
// allocator hands freed buffers to later connections at other offsets, so without this every
// page any connection ever touched would stay resident: with sources and half-finished
// requests coming and going for months, a relay's memory would creep up towards a buffer for
// every record. The allocator's own bookkeeping lies outside the buffer or is written after
// this, and a page that comes back into use is simply mapped afresh. One madvise a buffer.
void free_buffer(std::uint8_t* buffer, std::uint32_t size) {
    if (buffer == nullptr) return;
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    auto first = reinterpret_cast<std::uintptr_t>(buffer);
    std::uintptr_t begin = (first + page - 1) & ~(page - 1);
    std::uintptr_t end = (first + size) & ~(page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    delete[] buffer;
}

// Gives record c's buffer back, whatever its state made it.
void release_buffer(Connection& c) {
    free_buffer(c.buffer, c.buffer_size);
    c.buffer = nullptr;
    c.buffer_size = 0;
}

// Deletes record i and moves every later record one slot down, in order. Touches neither the
// socket nor the buffer of record i.
void remove_connection(std::uint32_t i) {
    // Whole records move, buffer ownership included; the order of the others stays.
    for (std::uint32_t k = i; k + 1 < table.count; ++k) table.entries[k] = table.entries[k + 1];
    table.count -= 1;
}

}  // namespace

DescriptorLimit reserve_descriptors(std::uint64_t needed) {
    DescriptorLimit result{true, needed, 0};
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur >= result.needed) return result;
    if (limit.rlim_max < result.needed) {
        result.enough = false;
        result.limit = limit.rlim_max;
        return result;
    }
    rlimit raised{result.needed, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        result.enough = false;
        result.limit = limit.rlim_cur;
    }
    return result;
}

bool open_table(std::uint32_t capacity) {
    // calloc: zero pages are mapped as they are first touched, so a large table costs memory
    // only for the records in use.
    table.entries = static_cast<Connection*>(std::calloc(capacity, sizeof(Connection)));
    if (table.entries == nullptr) {
        errno = ENOMEM;
        return false;
    }
    table.capacity = capacity;
    return true;
}

void set_send_buffer(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int open_listener(std::uint32_t address, int port) {
    int fd = open_tcp_socket();
    if (fd < 0) return -1;
    // A restarted relay must reopen its port at once, while its old connections still sit in
    // TIME_WAIT; a port that another socket is listening on still fails with EADDRINUSE.
    int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in listen_address{};
    listen_address.sin_family = AF_INET;
    listen_address.sin_addr.s_addr = htonl(address);
    listen_address.sin_port = htons(static_cast<std::uint16_t>(port));  // checked: 0 to 65535
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

bool refuse_client(int listen_fd) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCKET_FLAGS);
    if (fd < 0) return false;
    close_socket(fd);
    return true;
}

int accept_quietly(int listen_fd, Peer* peer) {
    sockaddr_in peer_address{};
    socklen_t length = sizeof peer_address;
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer_address), &length, SOCKET_FLAGS);
    if (fd < 0) return 0;
    *peer = Peer{ntohl(peer_address.sin_addr.s_addr), ntohs(peer_address.sin_port)};
    return fd;
}

int accept_client(const Connection& listener, Peer* peer) {
    int fd = accept_quietly(listener.fd, peer);
    if (fd == 0) return 0;
    char listen_text[IPV4_TEXT_SIZE];
    char peer_text[IPV4_TEXT_SIZE];
    ipv4_text(listener.peer.address, listen_text);
    ipv4_text(peer->address, peer_text);
    std::fprintf(stderr, "%s:%i -> %s:%i\n", listen_text, listener.peer.port, peer_text,
                 peer->port);
    return fd;
}

void close_socket(int fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

int recv_some(int fd, std::uint8_t* dst, int n) {
    return static_cast<int>(recv(fd, dst, static_cast<std::size_t>(n), 0));
}

int send_some(int fd, const std::uint8_t* src, int n) {
    return static_cast<int>(send(fd, src, static_cast<std::size_t>(n), 0));
}

void add_connection(int fd, ConnectionState state, Peer peer, std::uint32_t now_ms) {
    Connection& c = table.entries[table.count];
    table.count += 1;
    c.fd = fd;
    c.state = state;
    c.peer = peer;
    c.accepted_ms = now_ms;
    c.fill = 0;
    c.header_end = 0;
    c.position = 0;
    c.started = false;
    c.retired = false;
    c.buffer = nullptr;  // a PENDING record's is taken at its first read
    c.buffer_size = 0;
    watch_socket(fd);
}

void drop_connection(std::uint32_t i) {
    int fd = table.entries[i].fd;
    forget_socket(fd);
    close_socket(fd);
    release_buffer(table.entries[i]);
    remove_connection(i);
}

ReadPlace read_place(Connection& c) {
    if (c.state == PLAYER) return ReadPlace{player_scratch, RECEIVE_BUFFER_SIZE};
    if (c.buffer == nullptr) {
        c.buffer_size = c.state == SOURCE ? RECEIVE_BUFFER_SIZE : REQUEST_BUFFER_SIZE;
        // Not zeroed: only the bytes below fill are ever read. A failed allocation ends the
        // process.
        c.buffer = new std::uint8_t[c.buffer_size];
    }
    return ReadPlace{c.buffer + c.fill, c.buffer_size - c.fill};
}

void fit_buffer(Connection& c) { release_buffer(c); }

Connection& connection_at(std::uint32_t i) { return table.entries[i]; }

std::uint32_t connection_count() { return table.count; }

std::uint32_t table_capacity() { return table.capacity; }

void put_table(HandoverImage& image, std::uint32_t now_ms) {
    put_u32(image, table.count);
    for (std::uint32_t i = 0; i < table.count; ++i) {
        const Connection& c = table.entries[i];
        put_u32(image, static_cast<std::uint32_t>(c.fd));
        put_u32(image, static_cast<std::uint32_t>(c.state));
        put_u32(image, c.peer.address);
        put_u32(image, static_cast<std::uint32_t>(c.peer.port));
        put_u32(image, now_ms - c.accepted_ms);  // unsigned: right across the wrap
        put_u32(image, c.fill);
        put_u32(image, c.header_end);
        put_u64(image, c.position);
        put_u8(image, c.started ? 1 : 0);
        put_u8(image, c.retired ? 1 : 0);
        // Only a PENDING record holds bytes between passes: a source's go to the window and a
        // player's are discarded in the step that reads them.
        put_bytes(image, c.buffer, c.state == PENDING ? c.fill : 0);
    }
}

bool take_table(HandoverReader& reader, std::uint32_t now_ms, std::uint64_t stream_end) {
    std::uint32_t count = take_count(reader, table.capacity);
    for (std::uint32_t i = 0; i < count && !reader.failed; ++i) {
        Connection& c = table.entries[i];
        c = Connection{};
        table.count = i + 1;  // so that forget_table frees what this one takes
        c.fd = static_cast<int>(take_count(reader, INT32_MAX));
        std::uint32_t state = take_u32(reader);
        c.peer.address = take_u32(reader);
        c.peer.port = static_cast<int>(take_count(reader, 65535));
        c.accepted_ms = now_ms - take_u32(reader);
        c.fill = take_count(reader, REQUEST_BUFFER_SIZE - 1);
        c.header_end = take_count(reader, REQUEST_BUFFER_SIZE);
        c.position = take_u64(reader);
        std::uint8_t started = take_u8(reader);
        std::uint8_t retired = take_u8(reader);
        bool listener = state == LISTENER;
        if ((i == 0) != listener ||
            (!listener && state != PENDING && state != SOURCE && state != PLAYER)) {
            break;
        }
        c.state = static_cast<ConnectionState>(state);
        // A request's end lies within it; a record past PENDING holds no bytes.
        bool request_holds = c.state == PENDING ? c.header_end <= c.fill : c.fill == 0;
        if (started > 1 || retired > 1 || c.position > stream_end || !request_holds ||
            (c.state != PLAYER && c.position != 0)) {
            break;
        }
        c.started = started == 1;
        c.retired = retired == 1;
        if (c.state == PENDING && c.fill > 0) {
            c.buffer_size = REQUEST_BUFFER_SIZE;
            c.buffer = new std::uint8_t[REQUEST_BUFFER_SIZE];
            take_bytes(reader, c.buffer, c.fill);
        }
        if (reader.failed) break;
        if (i + 1 == count) return true;
    }
    forget_table();
    return false;
}

void watch_table() {
    for (std::uint32_t i = 0; i < table.count; ++i) watch_socket(table.entries[i].fd);
}

void forget_table() {
    for (std::uint32_t i = 0; i < table.count; ++i) release_buffer(table.entries[i]);
    table.count = 0;
}

bool is_our_socket(int fd, bool listening, std::uint32_t address, int port) {
    int type = 0;
    int accepting = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
        return false;
    }
    length = sizeof accepting;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0) return false;
    if ((accepting != 0) != listening) return false;
    sockaddr_in local{};
    length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return false;
    }
    if (!listening) return true;
    return ntohl(local.sin_addr.s_addr) == address && (port == 0 || ntohs(local.sin_port) == port);
}
