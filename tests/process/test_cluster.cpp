// SPDX-License-Identifier: MIT
// Relays in tiers, on loopback: feedlink between two relays, and an origin, four edges fed by
// feedlink and HAProxy in front of them carrying 1,000 listeners.

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fixture.h"
#include "wire.h"

using namespace testkit;

namespace {

const std::string REQUEST = "GET / HTTP/1.0\r\n\r\n";

std::int64_t realtime_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::uint64_t fnv1a(const std::uint8_t* p, std::size_t n) {
    std::uint64_t h = 14695981039346656037ULL;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

// What one listener connection has received of a `blockframe -t` stream, checked block by block
// as the bytes arrive, so that 1,000 listeners keep no capture.
struct Listener {
    int fd = -1;
    std::string pending;  // bytes of the header or of a block not yet whole
    bool header_seen = false;
    bool closed = false;  // by the peer
    std::uint64_t last_sequence = 0;
    std::size_t blocks = 0;
    std::size_t gaps = 0;  // blocks missing between two received ones
    std::string fault;     // first fault: damage, a repeat, bytes that differ from the reference
    std::vector<double>* delays_ms = nullptr;  // where block delays go, when measured
};

// Sequence number -> hash of the whole block, as the first listener to receive it saw it
// (the origin's listener, which joins first): every listener must see the same bytes.
using Reference = std::map<std::uint64_t, std::uint64_t>;

// Takes the whole blocks out of l->pending and checks each; block delays, from the payload's
// send-time stamp to now, go to l->delays_ms when it is set.
void take_blocks(Listener* l, Reference* reference) {
    if (!l->header_seen) {
        if (l->pending.size() < HEADER.size()) return;
        if (l->pending.compare(0, HEADER.size(), HEADER) != 0) l->fault = "no relay header";
        l->header_seen = true;
        l->pending.erase(0, HEADER.size());
    }
    std::size_t at = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(l->pending.data());
    while (l->fault.empty() && l->pending.size() - at >= BLOCK_HEADER_SIZE) {
        BlockHeader h = read_block_header(bytes + at);
        if (h.marker != BLOCK_MARKER || h.length < TEST_PAYLOAD_MIN) {
            l->fault = "no block at a block boundary";
            break;
        }
        std::size_t size = BLOCK_HEADER_SIZE + h.length;
        if (l->pending.size() - at < size) break;
        const std::uint8_t* payload = bytes + at + BLOCK_HEADER_SIZE;
        std::uint64_t sequence = read_u64_le(payload);
        std::uint64_t hash = fnv1a(bytes + at, size);
        if (l->blocks > 0 && sequence <= l->last_sequence) {
            l->fault = "block " + std::to_string(sequence) + " repeated or out of order";
        } else if (auto known = reference->find(sequence); known != reference->end()) {
            if (known->second != hash) l->fault = "block " + std::to_string(sequence) + " differs";
        } else {
            for (std::uint32_t i = TEST_PAYLOAD_MIN; i < h.length; ++i) {
                if (payload[i] != test_filler_byte(sequence, i)) l->fault = "payload changed";
            }
            (*reference)[sequence] = hash;
        }
        if (l->blocks > 0 && sequence > l->last_sequence + 1) {
            l->gaps += sequence - l->last_sequence - 1;
        }
        if (l->delays_ms != nullptr) {
            auto sent_ns = static_cast<std::int64_t>(read_u64_le(payload + 8));
            l->delays_ms->push_back(static_cast<double>(realtime_ns() - sent_ns) / 1e6);
        }
        l->last_sequence = sequence;
        l->blocks += 1;
        at += size;
    }
    l->pending.erase(0, at);
}

// Reads every open listener for ms milliseconds, in one poll loop.
void pump(const std::vector<Listener*>& listeners, Reference* reference, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    static char buf[65536];
    std::vector<pollfd> polled;
    std::vector<Listener*> owner;
    while (std::chrono::steady_clock::now() < until) {
        polled.clear();
        owner.clear();
        for (Listener* l : listeners) {
            if (l->fd < 0 || l->closed) continue;
            polled.push_back({l->fd, POLLIN, 0});
            owner.push_back(l);
        }
        poll(polled.data(), polled.size(), 10);
        for (std::size_t k = 0; k < polled.size(); ++k) {
            if ((polled[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t n = recv(polled[k].fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                owner[k]->pending.append(buf, static_cast<std::size_t>(n));
                take_blocks(owner[k], reference);
            } else if (n == 0 || errno != EAGAIN) {
                owner[k]->closed = true;
            }
        }
    }
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

class Cluster : public ProcessTest {
   protected:
    // A relay on port (0: a free one), up and answering; its port goes to *port. With a
    // metrics port, it answers metrics and health there (-m).
    Child& relay_on(int* port, int metrics_port = 0) {
        if (*port == 0) *port = free_port();
        std::vector<std::string> argv = {RELAYHUB_BIN, std::to_string(*port)};
        if (metrics_port != 0) argv.insert(argv.begin() + 1, {"-m", std::to_string(metrics_port)});
        Child& relay = start(argv);
        int probe = connect_loopback(*port, 5000);
        EXPECT_GE(probe, 0) << "relayhub did not come up on port " << *port;
        if (probe >= 0) close(probe);
        return relay;
    }
    // blockframe -t at 16,000 B/s, in its default blocks of three feedsend pieces, into port.
    void test_source(int port) { start_feed({"-t", "-r", "16000"}, port); }
    Child& link(int up_port, int down_port) {
        return start({FEEDLINK_BIN, "@127.0.0.1", std::to_string(up_port), "@127.0.0.1",
                      std::to_string(down_port)});
    }
    // A listener that has sent its request.
    void join(Listener* l, int port) {
        l->fd = own(connect_loopback(port, 5000));
        EXPECT_TRUE(send_all(l->fd, REQUEST));
    }
};

TEST_F(Cluster, FeedLinkForwardsWholeBlocksOnceAcrossUpstreamConnections) {
    int upstream_port = 0;
    int upstream = own(listen_loopback(&upstream_port));  // the test plays the upstream relay
    int down_port = 0;
    relay_on(&down_port);
    int listener = own(connect_loopback(down_port));
    ASSERT_TRUE(send_all(listener, REQUEST));
    ASSERT_EQ(HEADER, recv_for(listener, HEADER.size(), 3000));
    Child& linker = link(upstream_port, down_port);
    auto blocks = [](int first, int last) {
        std::string s;
        for (int k = first; k <= last; ++k) {
            s += make_block(pattern_payload(300, static_cast<std::uint32_t>(k)),
                            static_cast<std::uint32_t>(k));
        }
        return s;
    };
    // Blocks 0 to 4, and block 5 cut short by the upstream's end.
    int first = own(accept_within(upstream, 5000));
    ASSERT_GE(first, 0);
    EXPECT_EQ(REQUEST, recv_for(first, REQUEST.size(), 3000));
    ASSERT_TRUE(send_all(first, HEADER + blocks(0, 4) + blocks(5, 5).substr(0, 150)));
    sleep_for_ms(200);
    shutdown(first, SHUT_RDWR);
    // A server that answers with another header is left at once.
    int second = own(accept_within(upstream, 5000));
    ASSERT_GE(second, 0);
    std::string other = "HTTP/1.0 404 Not Found\r\n\r\n";
    ASSERT_TRUE(send_all(second, other + std::string(HEADER.size() - other.size(), 'x')));
    EXPECT_TRUE(wait_closed(second, 3000)) << "feedlink kept a connection without the header";
    // A relay that starts near live: blocks 3 and 4 again, then new ones; then a block longer
    // than a relay holds, which ends the connection.
    int third = own(accept_within(upstream, 5000));
    ASSERT_GE(third, 0);
    ASSERT_TRUE(send_all(third, HEADER + blocks(3, 9)));
    std::string expected = blocks(0, 9);
    std::string got = recv_for(listener, expected.size(), 5000);
    EXPECT_TRUE(got == expected) << "the listener's " << got.size()
                                 << " bytes are not blocks 0 to 9";
    EXPECT_EQ(0U, recv_for(listener, 1, 300).size()) << "more than each block once";
    ASSERT_TRUE(send_all(third, block_header(16 * 1024 * 1024 - 11, 10) + std::string(100, 'z')));
    EXPECT_TRUE(wait_closed(third, 3000)) << "feedlink took a block no relay can hold";
    // One downstream connection throughout, and the wrong header said so.
    std::string log = stderr_of(linker);
    EXPECT_EQ(1U, count_of(log, "downstream ")) << log;
    EXPECT_EQ(1U, count_of(log, "upstream sent no relay header")) << log;
}

TEST_F(Cluster, ListenersOfALinkedRelayStayThroughAnUpstreamRestart) {
    int up_port = 0;
    Child* upstream = &relay_on(&up_port);
    int down_port = 0;
    relay_on(&down_port);
    test_source(up_port);
    link(up_port, down_port);
    Reference reference;
    Listener l;
    join(&l, down_port);
    pump({&l}, &reference, 2000);
    ASSERT_GE(l.blocks, 4U) << l.fault;
    EXPECT_EQ(0U, l.gaps);
    std::uint64_t before = l.last_sequence;
    stop(*upstream);
    upstream = &relay_on(&up_port);  // the same port: the relay reopens it at once
    // feedsend notices at its next send, pauses 5 s and goes on at a block boundary.
    for (int k = 0; k < 100 && l.last_sequence < before + 3 && !l.closed; ++k) {
        pump({&l}, &reference, 100);
    }
    EXPECT_FALSE(l.closed) << "the downstream listener was dropped";
    EXPECT_EQ("", l.fault);
    EXPECT_GE(l.last_sequence, before + 3) << "no stream within 10 s of the restart";
}

TEST_F(Cluster, AThousandListenersThroughHAProxyGetTheOriginsBlocksAndSurviveAnEdge) {
    constexpr int EDGES = 4;
    constexpr std::size_t LISTENERS = 1000;
    ASSERT_EQ(0, access(HAPROXY_BIN, X_OK)) << "no haproxy: apt-get install haproxy";
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
    ASSERT_GE(files.rlim_cur, LISTENERS + 200) << "too few descriptors for the listeners";

    // Every child starts before the listeners open: a child keeps no descriptor above 1023.
    int origin_port = 0;
    Child& origin = relay_on(&origin_port);
    test_source(origin_port);
    std::vector<Child*> edges;
    std::vector<Child*> links;
    std::string servers;
    for (int e = 0; e < EDGES; ++e) {
        int port = 0;
        int metrics_port = free_port();
        edges.push_back(&relay_on(&port, metrics_port));
        links.push_back(&link(origin_port, port));
        servers += "server edge" + std::to_string(e) + " 127.0.0.1:" + std::to_string(port) +
                   " check port " + std::to_string(metrics_port) + "\n";
    }
    int front_port = free_port();
    std::string config = read_file(HAPROXY_CONFIG);
    config.replace(config.find("@FRONT_PORT@"), 12, std::to_string(front_port));
    config.replace(config.find("@SERVERS@"), 9, servers);
    Child& haproxy = start({HAPROXY_BIN, "-db", "-f", temp_file(config)});
    ASSERT_GE(own(connect_loopback(front_port, 5000)), 0) << stderr_of(haproxy);

    Reference reference;
    std::vector<double> delays_ms;
    Listener at_origin;
    join(&at_origin, origin_port);
    pump({&at_origin}, &reference, 1500);  // the edges' feedlinks get going meanwhile
    std::vector<Listener> crowd(LISTENERS);
    std::vector<Listener*> all{&at_origin};
    for (Listener& l : crowd) {
        join(&l, front_port);
        all.push_back(&l);
    }
    // Each edge takes one connection a pass: about 2.5 s for its 250.
    auto all_served = [&] {
        return std::all_of(crowd.begin(), crowd.end(), [](const Listener& l) {
            return l.blocks > 0 || l.closed || !l.fault.empty();
        });
    };
    for (int k = 0; k < 40 && !all_served(); ++k) pump(all, &reference, 500);
    ASSERT_TRUE(all_served()) << "not every listener got a block within 20 s";
    int per_edge[EDGES];
    int carried = 0;
    for (int e = 0; e < EDGES; ++e) {
        // Standard descriptors, the listening socket and the feedlink source; the rest are
        // listeners (and at most a health check).
        per_edge[e] = open_fd_count(edges[static_cast<std::size_t>(e)]->pid) - 5;
        carried += per_edge[e];
        EXPECT_LE(per_edge[e], 255) << "edge " << e;
    }
    EXPECT_GE(carried, static_cast<int>(LISTENERS));

    // 10 s of steady streaming, with each block's delay from the source measured.
    double cpu_before[2 + 2 * EDGES];
    std::vector<Child*> parts{&origin, &haproxy};
    parts.insert(parts.end(), edges.begin(), edges.end());
    parts.insert(parts.end(), links.begin(), links.end());
    for (std::size_t p = 0; p < parts.size(); ++p) cpu_before[p] = cpu_seconds(parts[p]->pid);
    constexpr int STEADY_MS = 10000;
    std::vector<double> origin_delays_ms;
    at_origin.delays_ms = &origin_delays_ms;
    for (Listener& l : crowd) l.delays_ms = &delays_ms;
    pump(all, &reference, STEADY_MS);
    at_origin.delays_ms = nullptr;
    for (Listener& l : crowd) l.delays_ms = nullptr;
    for (std::size_t k = 0; k < crowd.size(); ++k) {
        ASSERT_FALSE(crowd[k].closed) << "listener " << k << " was dropped";
        ASSERT_EQ("", crowd[k].fault) << "listener " << k;
        ASSERT_EQ(0U, crowd[k].gaps) << "listener " << k;
        ASSERT_GE(crowd[k].blocks, 30U) << "listener " << k;  // 10 s of 274 ms blocks
    }
    std::printf("cluster: %zu listeners, per edge %d %d %d %d\n", LISTENERS, per_edge[0],
                per_edge[1], per_edge[2], per_edge[3]);
    std::printf("cluster: block delay p50 %.1f ms, p99 %.1f ms; at the origin p50 %.1f, p99 %.1f\n",
                percentile(delays_ms, 0.5), percentile(delays_ms, 0.99),
                percentile(origin_delays_ms, 0.5), percentile(origin_delays_ms, 0.99));
    const char* names[] = {"origin", "haproxy",  "edge",     "edge",     "edge",
                           "edge",   "feedlink", "feedlink", "feedlink", "feedlink"};
    for (std::size_t p = 0; p < parts.size(); ++p) {
        std::printf("cluster: %s CPU %.4f s/s, peak resident %ld KiB\n", names[p],
                    (cpu_seconds(parts[p]->pid) - cpu_before[p]) * 1000.0 / STEADY_MS,
                    status_kib(parts[p]->pid, "VmHWM"));
    }

    // 600 listeners stay, about 150 an edge, so that three edges have room for the fourth's.
    for (std::size_t k = 600; k < crowd.size(); ++k) {
        shutdown(crowd[k].fd, SHUT_RDWR);  // the fixture closes it
        crowd[k].closed = true;
    }
    pump(all, &reference, 500);
    stop(*edges[0]);
    std::vector<Listener> moved;
    moved.reserve(600);
    std::vector<Listener*> live{&at_origin};
    for (std::size_t k = 0; k < 600; ++k) live.push_back(&crowd[k]);
    // The killed edge's listeners see their connection close and come back through HAProxy.
    for (int k = 0; k < 100; ++k) {
        pump(live, &reference, 100);
        for (std::size_t j = 0; j < 600; ++j) {
            if (!crowd[j].closed || crowd[j].fd < 0) continue;
            crowd[j].fd = -1;  // the fixture closes it
            moved.emplace_back();
            join(&moved.back(), front_port);
            live.push_back(&moved.back());
        }
        bool moved_on = std::all_of(moved.begin(), moved.end(),
                                    [](const Listener& l) { return l.blocks >= 4 || l.closed; });
        if (k >= 30 && moved_on) break;
    }
    EXPECT_GE(moved.size(), 50U) << "the killed edge had hardly any listeners";
    for (std::size_t k = 0; k < moved.size(); ++k) {
        EXPECT_FALSE(moved[k].closed) << "moved listener " << k;
        EXPECT_EQ("", moved[k].fault) << "moved listener " << k;
        EXPECT_GE(moved[k].blocks, 4U) << "moved listener " << k;
    }
    for (std::size_t k = 0; k < 600; ++k) {
        if (crowd[k].fd < 0) continue;  // one of the killed edge's
        EXPECT_EQ("", crowd[k].fault) << "listener " << k;
        EXPECT_EQ(0U, crowd[k].gaps) << "listener " << k;
    }
    std::printf("cluster: one edge killed, %zu listeners moved to the other three\n", moved.size());
}

}  // namespace
