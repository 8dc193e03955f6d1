// SPDX-License-Identifier: MIT
#include "crowd.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "clocks.h"

namespace {

// The relay never parses a request; it only waits for its end.
constexpr char REQUEST[] = "GET / HTTP/1.0\r\n\r\n";
constexpr std::size_t REQUEST_SIZE = sizeof REQUEST - 1;
constexpr int EVENTS_PER_WAIT = 256;
// Reads per listener per event, so that one fast stream cannot hold the others up; epoll is
// level-triggered and reports the rest at the next wait.
constexpr int READS_PER_EVENT = 16;

std::uint8_t receive_buffer[1 << 16];
// A pass sends its pieces microseconds apart, and passes are a sleep apart. A listener that reads
// late has only its newest piece stamped, which can make two passes' stamps look like one in
// table order; a gap this long between stamps ends a pass all the same.
constexpr std::int64_t PASS_GAP_NS = 2 * NS_PER_MS;

int local_port_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

// One recv, or with time stamps one recvmsg that notes when the relay sent what it brought.
ssize_t receive(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    if (!crowd->stamp_sends) return recv(l.fd, receive_buffer, sizeof receive_buffer, 0);
    iovec data{receive_buffer, sizeof receive_buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr m{};
    m.msg_iov = &data;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t r = recvmsg(l.fd, &m, 0);
    if (r <= 0) return r;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec t{};
        std::memcpy(&t, CMSG_DATA(c), sizeof t);
        std::int64_t ns = static_cast<std::int64_t>(t.tv_sec) * NS_PER_SECOND + t.tv_nsec;
        if (ns >= crowd->delays.from_wall_ns) {
            crowd->send_stamps.push_back(SendStamp{ns, static_cast<std::uint32_t>(k)});
        }
    }
    return r;
}

void end_listener(Listener* l, ListenerState state) {
    close(l->fd);  // also takes it out of the epoll set
    l->fd = -1;
    l->state = state;
    l->closed_ns = now_ns();
}

// The connect has finished: sends the request, after which only reading is of interest.
void send_request(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(l.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        end_listener(&l, FAILED);
        return;
    }
    l.request_ns = now_ns();
    // 18 bytes into an empty send buffer: taken whole, or the connection is already gone.
    if (send(l.fd, REQUEST, REQUEST_SIZE, MSG_NOSIGNAL) != static_cast<ssize_t>(REQUEST_SIZE)) {
        end_listener(&l, FAILED);
        return;
    }
    l.state = READING;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = k;
    epoll_ctl(crowd->epoll_fd, EPOLL_CTL_MOD, l.fd, &ev);
}

// Reads what has arrived, up to READS_PER_EVENT times, checking every byte.
void read_listener(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    for (int reads = 0; reads < READS_PER_EVENT && l.state == READING; ++reads) {
        ssize_t r = receive(crowd, k);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (r <= 0) {  // 0: the relay closed it; -1: reset
            end_listener(&l, CLOSED_BY_RELAY);
            crowd->closed_by_relay += 1;
            return;
        }
        std::uint64_t before = l.check.stream_bytes;
        check_bytes(&l.check, receive_buffer, static_cast<std::size_t>(r), wall_ns(),
                    &crowd->delays);
        if (before == 0 && l.check.stream_bytes > 0) {
            crowd->first_byte_ms.push_back(ns_to_ms(now_ns() - l.request_ns));
        }
        if (l.mode == STALL && l.check.blocks > 0) {
            // Out of the epoll set: level-triggered, it would report the unread bytes for ever.
            epoll_ctl(crowd->epoll_fd, EPOLL_CTL_DEL, l.fd, nullptr);
            l.state = STALLED;
        }
    }
}

}  // namespace

int connect_nonblocking(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

Crowd new_crowd(int port, std::size_t count, bool stamp_sends) {
    Crowd crowd;
    crowd.stamp_sends = stamp_sends;
    crowd.closed_by_relay = 0;
    crowd.epoll_fd = epoll_create1(0);
    crowd.port = port;
    Listener idle{};
    idle.fd = -1;
    idle.mode = KEEP_UP;
    idle.state = IDLE;
    idle.check = new_stream_check();
    crowd.listeners.assign(count, idle);
    crowd.delays.from_wall_ns = INT64_MAX;
    return crowd;
}

void crowd_join(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    l.join_ns = now_ns();
    l.fd = connect_nonblocking(crowd->port);
    if (l.fd < 0) {
        l.state = FAILED;
        l.closed_ns = now_ns();
        return;
    }
    l.local_port = local_port_of(l.fd);
    if (crowd->stamp_sends) {
        int on = 1;
        setsockopt(l.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    l.state = CONNECTING;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = k;
    if (epoll_ctl(crowd->epoll_fd, EPOLL_CTL_ADD, l.fd, &ev) != 0) end_listener(&l, FAILED);
}

void crowd_service(Crowd* crowd, int timeout_ms) {
    epoll_event events[EVENTS_PER_WAIT];
    int n = epoll_wait(crowd->epoll_fd, events, EVENTS_PER_WAIT, timeout_ms);
    for (int e = 0; e < n; ++e) {
        auto k = static_cast<std::size_t>(events[e].data.u64);
        Listener& l = crowd->listeners[k];
        if (l.state == CONNECTING) {
            send_request(crowd, k);
        } else if (l.state == READING) {
            read_listener(crowd, k);
        }
    }
}

void crowd_close(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    if (is_open(l)) end_listener(&l, CLOSED_BY_US);
}

void crowd_end(Crowd* crowd) {
    for (std::size_t k = 0; k < crowd->listeners.size(); ++k) crowd_close(crowd, k);
    close(crowd->epoll_fd);
    crowd->epoll_fd = -1;
}

bool is_open(const Listener& listener) {
    return listener.state == CONNECTING || listener.state == READING || listener.state == STALLED;
}

bool was_dropped(const Listener& listener) {
    return listener.state == CLOSED_BY_RELAY || listener.state == FAILED;
}

std::uint64_t crowd_stream_bytes(const Crowd& crowd) {
    std::uint64_t total = 0;
    for (const Listener& l : crowd.listeners) total += l.check.stream_bytes;
    return total;
}

int crowd_damaged(const Crowd& crowd) {
    int n = 0;
    for (const Listener& l : crowd.listeners) n += is_damaged(l.check) ? 1 : 0;
    return n;
}

std::vector<double> pass_lengths_ms(std::vector<SendStamp> stamps) {
    std::sort(stamps.begin(), stamps.end(),
              [](const SendStamp& a, const SendStamp& b) { return a.wall_ns < b.wall_ns; });
    std::vector<double> lengths;
    std::size_t first = 0;  // the pass's first stamp
    for (std::size_t k = 1; k <= stamps.size(); ++k) {
        if (k < stamps.size() && stamps[k].listener > stamps[k - 1].listener &&
            stamps[k].wall_ns - stamps[k - 1].wall_ns < PASS_GAP_NS) {
            continue;
        }
        if (k - first >= 2)
            lengths.push_back(ns_to_ms(stamps[k - 1].wall_ns - stamps[first].wall_ns));
        first = k;
    }
    return lengths;
}

std::uint32_t crowd_payload(const Crowd& crowd) {
    for (const Listener& l : crowd.listeners) {
        if (l.check.first_length != 0) return l.check.first_length;
    }
    return 0;
}
