// SPDX-License-Identifier: MIT
#include "crowd.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "clocks.h"
#include "process.h"

namespace testkit {
namespace {

// The relay never parses a request; it only waits for its end.
constexpr char REQUEST[] = "GET / HTTP/1.0\r\n\r\n";
constexpr std::size_t REQUEST_SIZE = sizeof REQUEST - 1;
constexpr int EVENTS_PER_WAIT = 256;
// Reads per listener per event, so that one fast stream cannot hold the others up; epoll is
// level-triggered and reports the rest at the next wait.
constexpr int READS_PER_EVENT = 16;
constexpr int PUMP_WAIT_MS = 10;

std::uint8_t receive_buffer[1 << 16];
// A pass sends its pieces microseconds apart, and passes are a sleep apart. A listener that reads
// late has only its newest piece stamped, which can make two passes' stamps look like one in
// table order; a gap this long between stamps ends a pass all the same.
constexpr std::int64_t PASS_GAP_NS = 2 * NS_PER_MS;

// One block the listener's check reported: its faults and, for a whole block, the figures.
void count_block(Crowd* crowd, std::size_t k, const CheckedBlock& b) {
    ListenerCheck& s = crowd->listeners[k].check;
    std::uint32_t faults = b.faults & ~static_cast<std::uint32_t>(FAULT_CUT);
    s.faults |= faults;
    if ((faults & ORDER_FAULTS) != 0) s.gaps += 1;
    if ((faults & ~ORDER_FAULTS) != 0) s.bad += 1;
    if (block_whole(b)) {
        s.blocks += 1;
        s.last_sequence = b.number;
        s.newest_sent_wall_ns = b.sent_wall_ns;
        if (s.blocks == 1) {
            s.first_length = b.length;
            s.first_block_age_ns = b.last_at - b.sent_wall_ns;
        }
        if (b.sent_wall_ns != 0 && b.first_at >= crowd->delays.from_wall_ns) {
            crowd->delays.delay_ms.push_back(ns_to_ms(b.first_at - b.sent_wall_ns));
            crowd->delays.whole_ms.push_back(ns_to_ms(b.last_at - b.sent_wall_ns));
        }
    }
    if (crowd->on_block) crowd->on_block(k, b);
}

// n bytes received by listener k, checked, at the wall clock's now.
void check_received(Crowd* crowd, std::size_t k, const std::uint8_t* bytes, std::size_t n) {
    ListenerCheck& s = crowd->listeners[k].check;
    s.stream.hashing = crowd->hash_blocks;
    std::int64_t now = wall_ns();
    std::uint32_t header_before = s.stream.response_at;
    bool in_header = s.stream.phase == CHECK_RESPONSE;
    for (std::size_t used = 0; used < n;) {
        CheckedBlock b{};
        used += check_bytes(&s.stream, bytes + used, n - used, now, &b);
        if (b.size > 0) count_block(crowd, k, b);
    }
    s.stream_bytes += n - (s.stream.response_at - header_before);
    if (in_header && s.stream.phase != CHECK_RESPONSE && s.stream.header_wrong) s.bad += 1;
}

void end_listener(Crowd* crowd, std::size_t k, ListenerState state) {
    Listener& l = crowd->listeners[k];
    close(l.fd);  // also takes it out of the epoll set
    l.fd = -1;
    l.state = state;
    l.closed_ns = now_ns();
    // A block cut short here is the connection's last; one with another's header in it is not.
    CheckedBlock b{};
    if (check_end(&l.check.stream, &b) == 1) count_block(crowd, k, b);
}

// The connect has finished: sends the request, after which only reading is of interest.
void send_request(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(l.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        end_listener(crowd, k, FAILED);
        return;
    }
    l.request_ns = now_ns();
    // 18 bytes into an empty send buffer: taken whole, or the connection is already gone.
    if (send(l.fd, REQUEST, REQUEST_SIZE, MSG_NOSIGNAL) != static_cast<ssize_t>(REQUEST_SIZE)) {
        end_listener(crowd, k, FAILED);
        return;
    }
    l.state = READING;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = k;
    epoll_ctl(crowd->epoll_fd, EPOLL_CTL_MOD, l.fd, &ev);
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
    std::int64_t read_from = wall_ns();
    ssize_t r = recvmsg(l.fd, &m, 0);
    if (r <= 0) return r;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec t{};
        std::memcpy(&t, CMSG_DATA(c), sizeof t);
        std::int64_t ns = static_cast<std::int64_t>(t.tv_sec) * NS_PER_SECOND + t.tv_nsec;
        if (ns < crowd->delays.from_wall_ns) continue;
        if (ns >= l.read_from_wall_ns && ns <= l.read_to_wall_ns) {
            crowd->held_stamps += 1;
        } else {
            crowd->send_stamps.push_back(SendStamp{ns, static_cast<std::uint32_t>(k)});
        }
    }
    l.read_from_wall_ns = read_from;
    l.read_to_wall_ns = wall_ns();
    return r;
}

// Reads what has arrived, up to READS_PER_EVENT times, checking every byte.
void read_listener(Crowd* crowd, std::size_t k) {
    Listener& l = crowd->listeners[k];
    for (int reads = 0; reads < READS_PER_EVENT && l.state == READING; ++reads) {
        ssize_t r = receive(crowd, k);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (r <= 0) {  // 0: the relay closed it; -1: reset
            end_listener(crowd, k, CLOSED_BY_RELAY);
            crowd->closed_by_relay += 1;
            return;
        }
        auto n = static_cast<std::size_t>(r);
        if (crowd->keep_bytes) l.bytes.append(reinterpret_cast<char*>(receive_buffer), n);
        std::uint64_t before = l.check.stream_bytes;
        bool answering = l.check.stream.phase == CHECK_RESPONSE;
        check_received(crowd, k, receive_buffer, n);
        std::int64_t now = now_ns();
        if (answering && l.check.stream.phase != CHECK_RESPONSE) {
            l.answered_ns = now;
            crowd->answered += 1;
        }
        if (before == 0 && l.check.stream_bytes > 0) {
            l.first_byte_ns = now;
            crowd->first_byte_ms.push_back(ns_to_ms(now - l.request_ns));
        }
        if (l.mode == STALL && l.check.blocks > 0) {
            // Out of the epoll set: level-triggered, it would report the unread bytes for ever.
            epoll_ctl(crowd->epoll_fd, EPOLL_CTL_DEL, l.fd, nullptr);
            l.state = STALLED;
        }
    }
}

}  // namespace

Crowd new_crowd(int port, std::size_t count, bool stamp_sends) {
    Crowd crowd{};
    crowd.stamp_sends = stamp_sends;
    crowd.epoll_fd = epoll_create1(0);
    crowd.port = port;
    crowd.delays.from_wall_ns = INT64_MAX;
    for (std::size_t k = 0; k < count; ++k) crowd_add(&crowd);
    return crowd;
}

std::size_t crowd_add(Crowd* crowd) {
    Listener idle{};
    idle.fd = -1;
    idle.mode = KEEP_UP;
    idle.state = IDLE;
    idle.check.stream.phase = CHECK_RESPONSE;
    crowd->listeners.push_back(idle);
    return crowd->listeners.size() - 1;
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
    l.local_port = local_port(l.fd);
    if (crowd->stamp_sends) {
        int on = 1;
        setsockopt(l.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    }
    l.state = CONNECTING;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = k;
    if (epoll_ctl(crowd->epoll_fd, EPOLL_CTL_ADD, l.fd, &ev) != 0) end_listener(crowd, k, FAILED);
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

void crowd_pump(Crowd* crowd, int ms) {
    std::int64_t end = now_ns() + ms * NS_PER_MS;
    for (std::int64_t left = end - now_ns(); left > 0; left = end - now_ns()) {
        crowd_service(crowd,
                      static_cast<int>(std::min<std::int64_t>(left / NS_PER_MS + 1, PUMP_WAIT_MS)));
    }
}

void crowd_close(Crowd* crowd, std::size_t k) {
    if (is_open(crowd->listeners[k])) end_listener(crowd, k, CLOSED_BY_US);
}

void crowd_end(Crowd* crowd) {
    for (std::size_t k = 0; k < crowd->listeners.size(); ++k) crowd_close(crowd, k);
    if (crowd->epoll_fd >= 0) close(crowd->epoll_fd);
    crowd->epoll_fd = -1;
}

bool is_open(const Listener& listener) {
    return listener.state == CONNECTING || listener.state == READING || listener.state == STALLED;
}

bool was_dropped(const Listener& listener) {
    return listener.state == CLOSED_BY_RELAY || listener.state == FAILED;
}

bool is_damaged(const ListenerCheck& check) {
    return check.faults != 0 || check.stream.header_wrong;
}

std::string stream_faults(const Listener& listener, std::uint32_t allowed) {
    static const struct {
        std::uint32_t fault;
        const char* name;
    } NAMES[] = {
        {FAULT_NO_MARKER, "no marker"},
        {FAULT_LENGTH, "a length no relay holds"},
        {FAULT_SPLICED, "cut short, then other bytes"},
        {FAULT_MISSING, "blocks missing"},
        {FAULT_REPEATED, "a block repeated"},
        {FAULT_OUT_OF_ORDER, "a block out of order"},
        {FAULT_SHORT, "a payload too short"},
        {FAULT_OPAQUE, "an opaque field wrong"},
        {FAULT_FILLER, "filler changed"},
    };
    std::string text = listener.check.stream.header_wrong ? "response header wrong" : "";
    for (const auto& n : NAMES) {
        if ((listener.check.faults & ~allowed & n.fault) == 0) continue;
        text += (text.empty() ? "" : ", ") + std::string(n.name);
    }
    return text;
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
        if (k - first >= 2) {
            lengths.push_back(ns_to_ms(stamps[k - 1].wall_ns - stamps[first].wall_ns));
        }
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

}  // namespace testkit
