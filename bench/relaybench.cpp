// relaybench: how fast relayhub serves, how many listeners it carries, at what delay and for
// how much CPU and memory. It starts relayhub from a given path on a free loopback port, plays
// the source and every listener itself over non-blocking sockets in one epoll loop, stops the
// server by its pid, and prints a table and one JSON line per scenario.

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "process.h"
#include "wire.h"

namespace {

constexpr double PASS_CEILING = 146000.0;  // one 1460-byte piece per 10 ms pass

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

std::int64_t wall_ns() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

struct Config {
    std::string relayhub;
    std::vector<std::string> scenarios = {"cap", "steady", "storm"};
    double cap_seconds = 10;
    double warmup_seconds = 5;
    double steady_seconds = 20;
    std::vector<int> steady_listeners = {1, 50, 254};
    int storm_listeners = 50;
    int storm_connections = 2000;
    double storm_limit_seconds = 60;
};

// ---- the server under test ----

struct Server {
    testkit::Child child;
    int port = 0;
    std::size_t log_seen = 0;  // bytes of its log already counted
    std::uint64_t accepted = 0;
};

bool start_server(const Config& c, Server* s) {
    s->port = testkit::free_port();
    s->child = testkit::start_program({c.relayhub, std::to_string(s->port)});
    int probe = testkit::connect_loopback(s->port, 5000);
    if (probe < 0) return false;
    close(probe);
    return testkit::wait_for([&] { return testkit::open_fd_count(s->child.pid) == 4; }, 3000);
}

// Accept log lines written since the last call.
void count_accepts(Server* s) {
    std::ifstream in(s->child.err_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(s->log_seen));
    std::string more((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    s->log_seen += more.size();
    s->accepted += static_cast<std::uint64_t>(std::count(more.begin(), more.end(), '\n'));
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::size_t at = close_paren + 2;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        fields.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    // Fields after the name start at state (field 3); utime and stime are fields 14 and 15.
    if (fields.size() < 13) return 0;
    double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}

// ---- sockets of the bench ----

int nonblocking_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
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

struct Source {
    int fd = -1;
    std::string pending;                // bytes not yet taken by the socket
    std::vector<std::int64_t> sent_ns;  // by sequence: when the block's first byte went out
    std::uint64_t bytes = 0;
    std::uint64_t next_sequence = 0;
    std::int64_t started = 0;
    double rate = 0;  // bytes per second; 0: one block at once
    std::uint32_t payload = 4000;
};

std::string test_block(std::uint64_t sequence, std::uint32_t payload) {
    std::string b(BLOCK_HEADER_SIZE + payload, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(b.data());
    write_block_header(p, BlockHeader{BLOCK_MARKER, payload, static_cast<std::uint32_t>(sequence)});
    for (std::uint32_t i = TEST_PAYLOAD_MIN; i < payload; ++i) {
        p[BLOCK_HEADER_SIZE + i] = test_filler_byte(sequence, i);
    }
    write_u64_le(p + BLOCK_HEADER_SIZE, sequence);
    write_u64_le(p + BLOCK_HEADER_SIZE + 8, static_cast<std::uint64_t>(wall_ns()));
    return b;
}

void flush_source(Source* s) {
    while (!s->pending.empty()) {
        ssize_t n = send(s->fd, s->pending.data(), s->pending.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        s->pending.erase(0, static_cast<std::size_t>(n));
    }
}

// Queues every block that is due by now at the source's rate.
void pace_source(Source* s) {
    std::int64_t now = now_ns();
    while (s->pending.empty()) {
        double due = static_cast<double>(s->bytes) / s->rate;
        if (static_cast<double>(now - s->started) / 1e9 < due) break;
        s->pending = test_block(s->next_sequence, s->payload);
        s->sent_ns.push_back(now);
        s->bytes += s->pending.size();
        s->next_sequence += 1;
        flush_source(s);
    }
    flush_source(s);
}

struct Listener {
    int fd = -1;
    bool connected = false;
    bool dropped = false;
    std::int64_t drop_ns = 0;
    std::int64_t request_ns = 0;
    std::int64_t first_stream_ns = 0;
    std::uint64_t stream_bytes = 0;
    std::uint32_t header_left = RESPONSE_HEADER_SIZE;
    bool header_ok = true;
    std::uint8_t head[28];  // a block header and the first 16 payload bytes
    std::uint32_t head_fill = 0;
    std::uint64_t block_left = 0;
    std::int64_t block_start_ns = 0;
    bool any_block = false;
    std::uint64_t last_sequence = 0;
    std::uint64_t gaps = 0;
    std::uint64_t malformed = 0;
};

struct Figures {
    std::vector<double> first_byte_ms;
    std::vector<double> delay_ms;
    std::int64_t measure_from = 0;  // block delays count from here on
};

void take_bytes(Listener* l, const std::uint8_t* p, std::size_t n, const Source& src, Figures* f) {
    std::int64_t now = now_ns();
    while (n > 0) {
        if (l->header_left > 0) {
            std::size_t k = std::min<std::size_t>(n, l->header_left);
            std::size_t off = RESPONSE_HEADER_SIZE - l->header_left;
            if (std::memcmp(p, RESPONSE_HEADER + off, k) != 0) l->header_ok = false;
            l->header_left -= static_cast<std::uint32_t>(k);
            p += k;
            n -= k;
            continue;
        }
        if (l->stream_bytes == 0) {
            l->first_stream_ns = now;
            f->first_byte_ms.push_back(static_cast<double>(now - l->request_ns) / 1e6);
        }
        if (l->block_left > 0) {
            std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, l->block_left));
            l->block_left -= k;
            l->stream_bytes += k;
            p += k;
            n -= k;
            continue;
        }
        if (l->head_fill == 0) l->block_start_ns = now;
        std::size_t k = std::min<std::size_t>(n, sizeof l->head - l->head_fill);
        std::memcpy(l->head + l->head_fill, p, k);
        l->head_fill += static_cast<std::uint32_t>(k);
        l->stream_bytes += k;
        p += k;
        n -= k;
        if (l->head_fill < sizeof l->head) continue;
        l->head_fill = 0;
        if (!is_block_marker(l->head)) {
            l->malformed += 1;
            l->block_left = UINT64_MAX;  // nothing more can be framed on this connection
            continue;
        }
        std::uint64_t length = read_u32_le(l->head + 4);
        std::uint64_t sequence = read_u64_le(l->head + BLOCK_HEADER_SIZE);
        if (l->any_block && sequence != l->last_sequence + 1) l->gaps += 1;
        l->any_block = true;
        l->last_sequence = sequence;
        if (sequence < src.sent_ns.size() && l->block_start_ns >= f->measure_from) {
            f->delay_ms.push_back(static_cast<double>(l->block_start_ns - src.sent_ns[sequence]) /
                                  1e6);
        }
        l->block_left = BLOCK_HEADER_SIZE + length - sizeof l->head;
    }
}

const std::string REQUEST = "GET /bench HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";

// Readies, reads and connects listeners; index k of `listeners` has epoll data k + 1 (0 is
// the source).
void service(int ep, std::vector<Listener>& listeners, Source& src, Figures* f, int timeout_ms) {
    epoll_event events[512];
    int n = epoll_wait(ep, events, 512, timeout_ms);
    static std::uint8_t buf[1 << 16];
    for (int e = 0; e < n; ++e) {
        std::uint64_t id = events[e].data.u64;
        if (id == 0) continue;  // the source: paced, not event-driven
        Listener& l = listeners[id - 1];
        if (l.dropped) continue;
        if (!l.connected && (events[e].events & EPOLLOUT)) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(l.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                l.dropped = true;
                continue;
            }
            l.connected = true;
            l.request_ns = now_ns();
            send(l.fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL);
            epoll_event ev{EPOLLIN | EPOLLRDHUP, {}};
            ev.data.u64 = id;
            epoll_ctl(ep, EPOLL_CTL_MOD, l.fd, &ev);
        }
        if (events[e].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            for (;;) {
                ssize_t r = recv(l.fd, buf, sizeof buf, 0);
                if (r > 0) {
                    take_bytes(&l, buf, static_cast<std::size_t>(r), src, f);
                    continue;
                }
                if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    l.dropped = true;
                    l.drop_ns = now_ns();
                    epoll_ctl(ep, EPOLL_CTL_DEL, l.fd, nullptr);
                }
                break;
            }
        }
    }
}

void add_listener(int ep, std::vector<Listener>& listeners, int port, std::size_t k) {
    Listener& l = listeners[k];
    l.fd = nonblocking_connect(port);
    epoll_event ev{EPOLLOUT | EPOLLIN | EPOLLRDHUP, {}};
    ev.data.u64 = k + 1;
    epoll_ctl(ep, EPOLL_CTL_ADD, l.fd, &ev);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

bool connect_source(const Server& s, Source* src) {
    src->fd = testkit::connect_loopback(s.port, 3000);
    if (src->fd < 0) return false;
    fcntl(src->fd, F_SETFL, O_NONBLOCK);
    return true;
}

// ---- scenarios ----

void run_cap(const Config& c) {
    Server s;
    if (!start_server(c, &s)) {
        std::printf("cap: relayhub did not start\n");
        return;
    }
    Source src;
    connect_source(s, &src);
    // One 8 MB block: the window holds all of it, so only the pacing limits the listener.
    src.pending = test_block(0, 8 * 1024 * 1024);
    src.sent_ns.push_back(now_ns());
    int ep = epoll_create1(0);
    std::vector<Listener> listeners(1);
    Figures f;
    std::int64_t deadline = now_ns() + 3000000000LL;
    while (!src.pending.empty() && now_ns() < deadline) {
        flush_source(&src);
        usleep(1000);
    }
    add_listener(ep, listeners, s.port, 0);
    std::int64_t started = now_ns();
    std::int64_t end = started + static_cast<std::int64_t>(c.cap_seconds * 1e9);
    std::uint64_t at_start = 0;
    std::int64_t measure_start = 0;
    while (now_ns() < end && !listeners[0].dropped) {
        service(ep, listeners, src, &f, 5);
        // Measure from the first stream byte, so connecting does not count.
        if (measure_start == 0 && listeners[0].stream_bytes > 0) {
            measure_start = now_ns();
            at_start = listeners[0].stream_bytes;
        }
    }
    double seconds = static_cast<double>(now_ns() - measure_start) / 1e9;
    double rate = static_cast<double>(listeners[0].stream_bytes - at_start) / seconds;
    double cpu = cpu_seconds(s.child.pid);
    testkit::stop(s.child);
    close(ep);
    close(listeners[0].fd);
    close(src.fd);
    std::printf("\ncap: one listener served from a full window\n");
    std::printf("  %-28s %12.0f bytes/s\n", "listener rate", rate);
    std::printf("  %-28s %12.3f (ceiling 146,000 bytes/s)\n", "ratio to the pass ceiling",
                rate / PASS_CEILING);
    std::printf("  %-28s %12s\n", "listener dropped", listeners[0].dropped ? "yes" : "no");
    std::printf(
        "{\"scenario\":\"cap\",\"seconds\":%.2f,\"bytes_per_second\":%.0f,\"ratio\":%.4f,"
        "\"dropped\":%s,\"server_cpu_seconds\":%.3f}\n",
        seconds, rate, rate / PASS_CEILING, listeners[0].dropped ? "true" : "false", cpu);
}

struct SteadyResult {
    int listeners = 0;
    int dropped = 0;
    int dropped_at_join = 0;
    std::uint64_t gaps = 0;
    std::uint64_t bad = 0;  // wrong headers or malformed blocks
    double first_p50 = 0, first_p99 = 0;
    double delay_p50 = 0, delay_p99 = 0, delay_max = 0;
    std::uint64_t min_bytes = 0, max_bytes = 0, sent_bytes = 0;
    double cpu_per_second = 0;
    long peak_kib = 0;
    std::uint64_t refused = 0;
    int fds_before = 0, fds_after = 0;
    long rss_before = 0, rss_after = 0;
    std::uint64_t storm_done = 0;
    double seconds = 0;
};

// The steady stream to n listeners; with storm > 0, other clients open and close that many
// connections meanwhile.
SteadyResult run_stream(const Config& c, int n, int storm) {
    SteadyResult res;
    res.listeners = n;
    Server s;
    if (!start_server(c, &s)) return res;
    Source src;
    connect_source(s, &src);
    src.rate = 16000;
    src.payload = 4000;
    src.started = now_ns();
    int ep = epoll_create1(0);
    std::vector<Listener> listeners(static_cast<std::size_t>(n));
    Figures f;
    f.measure_from = INT64_MAX;
    // Join one listener per pass, so the accept queue does not count as the relay's delay.
    std::size_t joined = 0;
    std::int64_t next_join = now_ns() + 300000000LL;
    std::int64_t warm_end = now_ns() + static_cast<std::int64_t>(c.warmup_seconds * 1e9) +
                            static_cast<std::int64_t>(n) * 12000000LL;
    double cpu_start = 0;
    std::uint64_t sent_at_start = 0;
    std::vector<std::uint64_t> bytes_at_start(static_cast<std::size_t>(n), 0);
    std::int64_t measure_end = INT64_MAX;
    std::int64_t hard_end =
        warm_end +
        static_cast<std::int64_t>((storm > 0 ? c.storm_limit_seconds : c.steady_seconds) * 1e9);
    int storm_opened = 0;
    std::vector<int> storm_fds;
    for (;;) {
        std::int64_t now = now_ns();
        pace_source(&src);
        if (joined < listeners.size() && now >= next_join) {
            add_listener(ep, listeners, s.port, joined++);
            next_join = now + 12000000LL;
        }
        if (f.measure_from == INT64_MAX && now >= warm_end && joined == listeners.size()) {
            f.measure_from = now;
            cpu_start = cpu_seconds(s.child.pid);
            sent_at_start = src.bytes;
            for (std::size_t k = 0; k < listeners.size(); ++k)
                bytes_at_start[k] = listeners[k].stream_bytes;
            res.fds_before = testkit::open_fd_count(s.child.pid);
            res.rss_before = testkit::resident_kib(s.child.pid);
            if (storm == 0) measure_end = now + static_cast<std::int64_t>(c.steady_seconds * 1e9);
        }
        if (storm > 0 && f.measure_from != INT64_MAX) {
            // As fast as the relay takes them: at most 8 waiting to be accepted at a time.
            count_accepts(&s);
            for (int fd : storm_fds) close(fd);
            storm_fds.clear();
            // The accept log also counts the start-up probe, the source and the listeners.
            std::int64_t storm_accepted =
                static_cast<std::int64_t>(s.accepted) - 2 - static_cast<std::int64_t>(joined);
            while (storm_opened < storm && storm_opened < storm_accepted + 8) {
                int fd = nonblocking_connect(s.port);
                storm_opened += 1;
                if (fd < 0) {
                    res.refused += 1;
                    continue;
                }
                storm_fds.push_back(fd);
            }
            if (storm_opened == storm &&
                s.accepted >= static_cast<std::uint64_t>(storm) + 2 + joined &&
                measure_end == INT64_MAX) {
                measure_end = now + 1000000000LL;  // a second to tear the last ones down
            }
        }
        if (now >= measure_end || now >= hard_end) break;
        service(ep, listeners, src, &f, 1);
    }
    std::int64_t stop_at = now_ns();
    for (int fd : storm_fds) close(fd);
    if (storm > 0) {
        count_accepts(&s);
        res.storm_done = s.accepted >= 2 + joined ? s.accepted - 2 - joined : 0;
        res.fds_after = testkit::open_fd_count(s.child.pid);
        res.rss_after = testkit::resident_kib(s.child.pid);
    }
    res.seconds = static_cast<double>(stop_at - f.measure_from) / 1e9;
    res.cpu_per_second = (cpu_seconds(s.child.pid) - cpu_start) / res.seconds;
    res.peak_kib = testkit::status_kib(s.child.pid, "VmHWM");
    testkit::stop(s.child);
    res.sent_bytes = src.bytes - sent_at_start;
    res.min_bytes = UINT64_MAX;
    for (std::size_t k = 0; k < listeners.size(); ++k) {
        Listener& l = listeners[k];
        if (l.dropped) res.dropped += 1;
        // Dropped within a second of its request: it joined at the window's oldest block just
        // before the next block's arrival dropped that block from the window.
        if (l.dropped && l.drop_ns - l.request_ns < 1000000000LL) res.dropped_at_join += 1;
        res.gaps += l.gaps;
        res.bad += (l.header_ok ? 0 : 1) + l.malformed;
        std::uint64_t got = l.stream_bytes - bytes_at_start[k];
        if (!l.dropped) {  // the bytes of the listeners that stayed, against the bytes sent
            res.min_bytes = std::min(res.min_bytes, got);
            res.max_bytes = std::max(res.max_bytes, got);
        }
        close(l.fd);
    }
    if (res.min_bytes == UINT64_MAX) res.min_bytes = 0;
    close(src.fd);
    close(ep);
    res.first_p50 = percentile(f.first_byte_ms, 50);
    res.first_p99 = percentile(f.first_byte_ms, 99);
    res.delay_p50 = percentile(f.delay_ms, 50);
    res.delay_p99 = percentile(f.delay_ms, 99);
    res.delay_max =
        f.delay_ms.empty() ? 0 : *std::max_element(f.delay_ms.begin(), f.delay_ms.end());
    return res;
}

void print_stream(const char* name, const SteadyResult& r, bool storm) {
    std::printf("\n%s: %d listeners of a 16,000 bytes/s stream, %.1f s measured\n", name,
                r.listeners, r.seconds);
    std::printf("  %-34s %10.2f / %.2f ms\n", "request to first stream byte p50/p99", r.first_p50,
                r.first_p99);
    std::printf("  %-34s %10.2f / %.2f / %.2f ms\n", "block delay p50/p99/max", r.delay_p50,
                r.delay_p99, r.delay_max);
    std::printf("  %-34s %10d (%d within a second of joining)\n", "listeners dropped", r.dropped,
                r.dropped_at_join);
    std::printf("  %-34s %10llu\n", "sequence gaps", static_cast<unsigned long long>(r.gaps));
    std::printf("  %-34s %10llu\n", "bad headers or blocks",
                static_cast<unsigned long long>(r.bad));
    std::printf("  %-34s %10llu .. %llu of %llu sent\n", "bytes per listener kept",
                static_cast<unsigned long long>(r.min_bytes),
                static_cast<unsigned long long>(r.max_bytes),
                static_cast<unsigned long long>(r.sent_bytes));
    std::printf("  %-34s %10.4f\n", "server CPU seconds per second", r.cpu_per_second);
    std::printf("  %-34s %10ld KiB\n", "server peak resident (VmHWM)", r.peak_kib);
    if (storm) {
        std::printf("  %-34s %10llu (%llu refused)\n", "storm connections accepted",
                    static_cast<unsigned long long>(r.storm_done),
                    static_cast<unsigned long long>(r.refused));
        std::printf("  %-34s %10d -> %d\n", "server descriptors before/after", r.fds_before,
                    r.fds_after);
        std::printf("  %-34s %10ld -> %ld KiB\n", "server resident before/after", r.rss_before,
                    r.rss_after);
    }
    std::printf(
        "{\"scenario\":\"%s\",\"listeners\":%d,\"seconds\":%.2f,\"first_byte_ms_p50\":%.3f,"
        "\"first_byte_ms_p99\":%.3f,\"delay_ms_p50\":%.3f,\"delay_ms_p99\":%.3f,"
        "\"delay_ms_max\":%.3f,\"dropped\":%d,\"dropped_at_join\":%d,\"gaps\":%llu,\"bad\":%llu,"
        "\"min_bytes\":%llu,"
        "\"max_bytes\":%llu,\"sent_bytes\":%llu,\"cpu_per_second\":%.5f,\"peak_rss_kib\":%ld",
        name, r.listeners, r.seconds, r.first_p50, r.first_p99, r.delay_p50, r.delay_p99,
        r.delay_max, r.dropped, r.dropped_at_join, static_cast<unsigned long long>(r.gaps),
        static_cast<unsigned long long>(r.bad), static_cast<unsigned long long>(r.min_bytes),
        static_cast<unsigned long long>(r.max_bytes), static_cast<unsigned long long>(r.sent_bytes),
        r.cpu_per_second, r.peak_kib);
    if (storm) {
        std::printf(
            ",\"storm_connections\":%llu,\"refused\":%llu,\"fds_before\":%d,\"fds_after\":%d,"
            "\"rss_kib_before\":%ld,\"rss_kib_after\":%ld",
            static_cast<unsigned long long>(r.storm_done),
            static_cast<unsigned long long>(r.refused), r.fds_before, r.fds_after, r.rss_before,
            r.rss_after);
    }
    std::printf("}\n");
}

std::vector<int> parse_list(const char* text) {
    std::vector<int> out;
    for (const char* p = text; *p != '\0';) {
        out.push_back(std::atoi(p));
        const char* comma = std::strchr(p, ',');
        if (comma == nullptr) break;
        p = comma + 1;
    }
    return out;
}

void usage() {
    std::fputs(
        "Usage: relaybench --relayhub PATH [--scenario cap|steady|storm|all] [--quick]\n"
        "         [--seconds S] [--warmup S] [--listeners 1,50,254] [--storm-connections N]\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Config c;
    for (int k = 1; k < argc; ++k) {
        std::string a = argv[k];
        const char* v = k + 1 < argc ? argv[k + 1] : nullptr;
        if (a == "--quick") {
            c.cap_seconds = 2;
            c.warmup_seconds = 1;
            c.steady_seconds = 2;
            c.steady_listeners = {1, 5};
            c.storm_listeners = 5;
            c.storm_connections = 50;
            c.storm_limit_seconds = 20;
        } else if (v == nullptr) {
            usage();
            return 2;
        } else if (a == "--relayhub") {
            c.relayhub = v, ++k;
        } else if (a == "--scenario") {
            c.scenarios = std::string(v) == "all" ? c.scenarios : std::vector<std::string>{v}, ++k;
        } else if (a == "--seconds") {
            c.steady_seconds = c.cap_seconds = std::atof(v), ++k;
        } else if (a == "--warmup") {
            c.warmup_seconds = std::atof(v), ++k;
        } else if (a == "--listeners") {
            c.steady_listeners = parse_list(v), ++k;
        } else if (a == "--storm-connections") {
            c.storm_connections = std::atoi(v), ++k;
        } else {
            usage();
            return 2;
        }
    }
    if (c.relayhub.empty()) {
        usage();
        return 2;
    }
    for (const std::string& sc : c.scenarios) {
        if (sc == "cap") {
            run_cap(c);
        } else if (sc == "steady") {
            for (int n : c.steady_listeners) print_stream("steady", run_stream(c, n, 0), false);
        } else if (sc == "storm") {
            print_stream("storm", run_stream(c, c.storm_listeners, c.storm_connections), true);
        } else {
            usage();
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
