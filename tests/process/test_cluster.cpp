// SPDX-License-Identifier: MIT
// Relays in tiers, on loopback: feedlink between two relays, and an origin, four edges fed by
// feedlink and HAProxy in front of them carrying 1,000 listeners.

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "clocks.h"
#include "figures.h"
#include "fixture.h"
#include "scrape.h"
#include "wire.h"

using namespace testkit;

namespace {

const std::string REQUEST = "GET / HTTP/1.0\r\n\r\n";

// A template with every placeholder in places replaced by its port.
std::string fill_in(std::string text, const std::vector<std::pair<std::string, int>>& places) {
    for (const auto& [placeholder, port] : places) {
        for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;) {
            text.replace(at, placeholder.size(), std::to_string(port));
        }
    }
    return text;
}

class Cluster : public ProcessTest {
   protected:
    // A relay on port (0: a free one), up and answering; its port goes to *port. With a
    // metrics port it is an edge as the HAProxy template expects one: it answers metrics and
    // health there (-m), and holds 1,023 connections (-c 1024), up to 1,022 listeners beside
    // its feedlink.
    Child& relay_on(int* port, int metrics_port = 0) {
        std::vector<std::string> options;
        if (metrics_port != 0) options = {"-c", "1024", "-m", std::to_string(metrics_port)};
        Child& relay = start_relay(options, *port);
        *port = port_;
        return relay;
    }
    // blockframe -t at 16,000 B/s, in its default blocks of three feedsend pieces, into port.
    void test_source(int port) { start_feed(0, 16000, port); }
    Child& link(int up_port, int down_port) {
        return start({FEEDLINK_BIN, "@127.0.0.1", std::to_string(up_port), "@127.0.0.1",
                      std::to_string(down_port)});
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
    // Blocks 0 to 4, and block 5 cut short by the upstream's end.
    int first = own(accept_within(upstream, 5000));
    ASSERT_GE(first, 0);
    EXPECT_EQ(REQUEST, recv_for(first, REQUEST.size(), 3000));
    ASSERT_TRUE(send_all(
        first, HEADER + pattern_blocks(0, 5, 300) + pattern_blocks(5, 1, 300).substr(0, 150)));
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
    ASSERT_TRUE(send_all(third, HEADER + pattern_blocks(3, 7, 300)));
    std::string expected = pattern_blocks(0, 10, 300);
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
    Child& upstream = relay_on(&up_port);
    int down_port = 0;
    relay_on(&down_port);
    test_source(up_port);
    link(up_port, down_port);
    Crowd& crowd = listeners(1, down_port);
    const Listener& l = crowd.listeners[0];
    crowd_pump(&crowd, 2000);
    ASSERT_GE(l.check.blocks, 4U) << stream_faults(l);
    EXPECT_EQ(0U, l.check.gaps);
    std::uint64_t before = l.check.last_sequence;
    stop(upstream);
    // The same port: the relay reopens it at once, and feedlink is back as its listener.
    start({RELAYHUB_BIN, std::to_string(up_port)});
    ASSERT_GE(own(connect_loopback(up_port, 5000)), 0);
    // feedsend notices at its next send, pauses 5 s and goes on at a block boundary.
    for (int k = 0; k < 100 && l.check.last_sequence < before + 3 && is_open(l); ++k) {
        crowd_pump(&crowd, 100);
    }
    EXPECT_TRUE(is_open(l)) << "the downstream listener was dropped";
    EXPECT_EQ("", stream_faults(l, FAULT_MISSING));  // blocks sent during the restart are lost
    EXPECT_GE(l.check.last_sequence, before + 3) << "no stream within 10 s of the restart";
}

// An origin fed by blockframe, four edges fed from it by feedlink, and HAProxy in front of the
// edges; a listener on the origin and 1,000 through HAProxy, every block of each checked, and
// each whole block compared with the first copy of it that any listener received.
class BehindHAProxy : public Cluster {
   protected:
    static constexpr int EDGES = 4;
    static constexpr std::size_t LISTENERS = 1000;
    static constexpr int STEADY_MS = 10000;

    // The origin and its source, `edges` edges each fed by a feedlink and answering health on a
    // metrics port, and HAProxy in front of them. Every child starts before the listeners open:
    // a child keeps no descriptor above 1023.
    // With tls_pem (a certificate and its key), the template's HTTPS bind is taken as it
    // stands, with that file in place of the one in /etc/relayhub, on tls_port_.
    void start_cluster(int edges = EDGES, const std::string& tls_pem = "") {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
        ASSERT_GE(files.rlim_cur, LISTENERS + 200) << "too few descriptors for the listeners";
        origin_ = &relay_on(&origin_port_);
        test_source(origin_port_);
        std::string servers;
        for (int e = 0; e < edges; ++e) {
            int port = 0;
            int metrics_port = free_port();
            metrics_ports_.push_back(metrics_port);
            edges_.push_back(&relay_on(&port, metrics_port));
            links_.push_back(&link(origin_port_, port));
            // HAProxy checks each edge's health on its metrics port.
            servers += "server edge" + std::to_string(e) + " 127.0.0.1:" + std::to_string(port) +
                       " check port " + std::to_string(metrics_port) + "\n";
        }
        front_port_ = free_port();
        std::string config = read_file(HAPROXY_CONFIG);
        if (!tls_pem.empty()) {
            const std::string tls_bind = "# bind 127.0.0.1:@TLS_PORT@ ssl crt ";
            const std::string pem_path = "/etc/relayhub/listeners.pem";
            std::size_t at = config.find(tls_bind + pem_path);
            ASSERT_NE(std::string::npos, at) << "the template has no HTTPS bind";
            config.replace(at, tls_bind.size() + pem_path.size(), tls_bind.substr(2) + tls_pem);
            tls_port_ = free_port();
        }
        config = fill_in(config, {{"@FRONT_PORT@", front_port_}, {"@TLS_PORT@", tls_port_}});
        config.replace(config.find("@SERVERS@"), 9, servers);
        haproxy_ = &start({HAPROXY_BIN, "-db", "-f", temp_file(config)});
        ASSERT_GE(own(connect_loopback(front_port_, 5000)), 0) << stderr_of(*haproxy_);
    }

    // Reads both crowds for ms milliseconds, the origin's listener first.
    void pump(int ms) {
        std::int64_t end = now_ns() + ms * NS_PER_MS;
        while (now_ns() < end) {
            crowd_service(at_origin_, 0);
            crowd_service(front_, 1);
        }
    }

    // The origin's listener, then the 1,000 through HAProxy, until each has had a block; the
    // edges share them out evenly.
    void join_listeners() {
        auto compare = [this](std::size_t, const CheckedBlock& b) {
            if (!block_whole(b)) return;
            if (reference_.emplace(b.number, b.hash).first->second != b.hash) differing_ += 1;
        };
        at_origin_ = &listeners(1, origin_port_);
        front_ = &listeners(LISTENERS, front_port_);
        for (Crowd* c : {at_origin_, front_}) {
            c->hash_blocks = true;
            c->on_block = compare;
        }
        crowd_pump(at_origin_, 1500);  // the edges' feedlinks get going meanwhile
        // Each edge takes one connection a pass: about 2.5 s for its 250.
        auto all_served = [&] {
            return std::all_of(front_->listeners.begin(), front_->listeners.end(),
                               [](const Listener& l) {
                                   return l.check.blocks > 0 || !is_open(l) || is_damaged(l.check);
                               });
        };
        for (int k = 0; k < 40 && !all_served(); ++k) pump(500);
        ASSERT_TRUE(all_served()) << "not every listener got a block within 20 s";
        int carried = 0;
        for (int e = 0; e < EDGES; ++e) {
            // Its own descriptors, the metrics socket and the feedlink source; the rest are
            // listeners (and at most a health check, on the metrics port).
            per_edge_[e] =
                open_fd_count(edges_[static_cast<std::size_t>(e)]->pid) - (RELAY_IDLE_FDS + 2);
            carried += per_edge_[e];
            EXPECT_LE(per_edge_[e], 1022) << "edge " << e;
        }
        EXPECT_GE(carried, static_cast<int>(LISTENERS));
    }

    // 10 s of steady streaming: every listener stays, with a whole stream, and each block's
    // delay from its send time to its last byte is measured, with every part's CPU and memory.
    void measure_steady() {
        std::vector<Child*> parts{origin_, haproxy_};
        parts.insert(parts.end(), edges_.begin(), edges_.end());
        parts.insert(parts.end(), links_.begin(), links_.end());
        std::vector<double> cpu_before;
        for (Child* p : parts) cpu_before.push_back(cpu_seconds(p->pid));
        at_origin_->delays.from_wall_ns = front_->delays.from_wall_ns = wall_ns();
        pump(STEADY_MS);
        at_origin_->delays.from_wall_ns = front_->delays.from_wall_ns = INT64_MAX;
        for (std::size_t k = 0; k < LISTENERS; ++k) {
            const Listener& l = front_->listeners[k];
            ASSERT_TRUE(is_open(l)) << "listener " << k << " was dropped";
            ASSERT_EQ("", stream_faults(l)) << "listener " << k;
            ASSERT_GE(l.check.blocks, 30U) << "listener " << k;  // 10 s of 274 ms blocks
        }
        ASSERT_EQ(0, differing_) << "blocks that differ from another listener's copy";
        const std::vector<double>& delays = front_->delays.whole_ms;
        const std::vector<double>& at_origin = at_origin_->delays.whole_ms;
        std::printf("cluster: %zu listeners, per edge %d %d %d %d\n", LISTENERS, per_edge_[0],
                    per_edge_[1], per_edge_[2], per_edge_[3]);
        std::printf(
            "cluster: block delay p50 %.1f ms, p99 %.1f ms; at the origin p50 %.1f, p99 %.1f\n",
            percentile(delays, 50), percentile(delays, 99), percentile(at_origin, 50),
            percentile(at_origin, 99));
        const char* names[] = {"origin", "haproxy",  "edge",     "edge",     "edge",
                               "edge",   "feedlink", "feedlink", "feedlink", "feedlink"};
        for (std::size_t p = 0; p < parts.size(); ++p) {
            std::printf("cluster: %s CPU %.4f s/s, peak resident %ld KiB\n", names[p],
                        (cpu_seconds(parts[p]->pid) - cpu_before[p]) * 1000.0 / STEADY_MS,
                        status_kib(parts[p]->pid, "VmHWM"));
        }
    }

    // 600 listeners stay, about 150 an edge, so that three edges have room for the fourth's;
    // then one edge is killed, and its listeners, seeing their connection close, come back
    // through HAProxy and are served by the other three.
    void fail_over_one_edge() {
        constexpr std::size_t STAYING = 600;
        for (std::size_t k = STAYING; k < LISTENERS; ++k) crowd_close(front_, k);
        pump(500);
        stop(*edges_[0]);
        std::vector<bool> came_back(STAYING, false);
        for (int k = 0; k < 100; ++k) {
            pump(100);
            for (std::size_t j = 0; j < STAYING; ++j) {
                if (came_back[j] || is_open(front_->listeners[j])) continue;
                came_back[j] = true;
                crowd_join(front_, crowd_add(front_));
            }
            bool moved_on =
                std::all_of(front_->listeners.begin() + LISTENERS, front_->listeners.end(),
                            [](const Listener& l) { return l.check.blocks >= 4 || !is_open(l); });
            if (k >= 30 && moved_on) break;
        }
        std::size_t moved = front_->listeners.size() - LISTENERS;
        EXPECT_GE(moved, 50U) << "the killed edge had hardly any listeners";
        for (std::size_t k = LISTENERS; k < front_->listeners.size(); ++k) {
            const Listener& l = front_->listeners[k];
            EXPECT_TRUE(is_open(l)) << "moved listener " << k;
            EXPECT_EQ("", stream_faults(l, FAULT_MISSING)) << "moved listener " << k;
            EXPECT_GE(l.check.blocks, 4U) << "moved listener " << k;
        }
        for (std::size_t k = 0; k < STAYING; ++k) {
            if (came_back[k]) continue;  // one of the killed edge's
            EXPECT_EQ("", stream_faults(front_->listeners[k])) << "listener " << k;
        }
        EXPECT_EQ(0, differing_) << "blocks that differ from another listener's copy";
        std::printf("cluster: one edge killed, %zu listeners moved to the other three\n", moved);
    }

    int origin_port_ = 0;
    int front_port_ = 0;
    int tls_port_ = 0;
    Child* origin_ = nullptr;
    Child* haproxy_ = nullptr;
    std::vector<Child*> edges_;
    std::vector<int> metrics_ports_;
    std::vector<Child*> links_;
    Crowd* at_origin_ = nullptr;
    Crowd* front_ = nullptr;
    int per_edge_[EDGES] = {};
    std::map<std::uint64_t, std::uint64_t> reference_;  // block number -> the first copy's hash
    int differing_ = 0;
};

TEST_F(BehindHAProxy, AThousandListenersGetTheOriginsBlocksAndSurviveAnEdge) {
    ASSERT_EQ(0, access(HAPROXY_BIN, X_OK)) << "no haproxy: apt-get install haproxy";
    ASSERT_NO_FATAL_FAILURE(start_cluster());
    ASSERT_NO_FATAL_FAILURE(join_listeners());
    ASSERT_NO_FATAL_FAILURE(measure_steady());
    fail_over_one_edge();
}

// Two edges; one edge's feedlink dies. The edge still accepts but has nothing to send: its
// health answer turns 503 10 s after its last source byte, HAProxy marks it down and closes its
// listeners' connections, and they, reconnecting at once as feedfetch does, land on the other.
TEST_F(BehindHAProxy, ListenersOfAnEdgeWhoseStreamDiedMoveToTheLiveOne) {
    constexpr std::size_t SLOTS = 30;
    ASSERT_NO_FATAL_FAILURE(start_cluster(2));
    Crowd& crowd = listeners(SLOTS, front_port_);
    std::vector<std::size_t> current(SLOTS);  // each slot's listener now
    for (std::size_t k = 0; k < SLOTS; ++k) current[k] = k;
    auto newest = [&](std::size_t slot) { return crowd.listeners[current[slot]].check; };
    auto all_have_blocks = [&](std::uint64_t after) {
        for (std::size_t k = 0; k < SLOTS; ++k) {
            if (newest(k).blocks == 0 || newest(k).last_sequence < after) return false;
        }
        return true;
    };
    for (int k = 0; k < 50 && !all_have_blocks(0); ++k) crowd_pump(&crowd, 100);
    ASSERT_TRUE(all_have_blocks(0)) << "not every listener got a block within 5 s";
    ASSERT_GE(scrape(metrics_ports_[0]).samples["relayhub_listeners"], 5) << "edge 0 idle";
    std::uint64_t at_kill = 0;
    for (std::size_t k = 0; k < SLOTS; ++k) at_kill = std::max(at_kill, newest(k).last_sequence);
    stop(*links_[0]);
    // 274 ms blocks: 20 more take over 5 s, which only the live edge can deliver.
    bool moved = false;
    for (int k = 0; k < 250 && !moved; ++k) {  // 25 s
        crowd_pump(&crowd, 100);
        for (std::size_t j = 0; j < SLOTS; ++j) {
            if (is_open(crowd.listeners[current[j]])) continue;
            current[j] = crowd_add(&crowd);
            crowd_join(&crowd, current[j]);
        }
        moved = all_have_blocks(at_kill + 20);
    }
    EXPECT_TRUE(moved) << "a listener got no new block within 25 s of the kill";
    EXPECT_GT(crowd.listeners.size(), SLOTS) << "no listener was moved";
    for (const Listener& l : crowd.listeners) EXPECT_EQ("", stream_faults(l));
    // The dead edge lets its listeners go as it reads their closed connections.
    Scrape dead;
    EXPECT_TRUE(wait_for(
        [&] {
            dead = scrape(metrics_ports_[0]);
            return dead.samples["relayhub_listeners"] == 0;
        },
        3000))
        << "HAProxy left listeners on the dead edge";
    EXPECT_EQ("HTTP/1.0 503 Service Unavailable", scrape(metrics_ports_[0], "/health").status);
}

// One edge whose metrics port is crowded by 20 connections that send nothing, held open for
// 8 s and opened again whenever the edge closes them: HAProxy's checks of it are answered all
// the while, so it is never marked down, and its listeners keep their whole streams.
TEST_F(BehindHAProxy, IdleConnectionsOnAnEdgesMetricsPortNeverCostItsListeners) {
    constexpr std::size_t LISTENING = 10;
    ASSERT_NO_FATAL_FAILURE(start_cluster(1));
    Crowd& crowd = listeners(LISTENING, front_port_);
    auto all_have = [&](std::uint64_t blocks) {
        return std::all_of(crowd.listeners.begin(), crowd.listeners.end(),
                           [&](const Listener& l) { return l.check.blocks >= blocks; });
    };
    for (int k = 0; k < 100 && !all_have(1); ++k) crowd_pump(&crowd, 100);
    ASSERT_TRUE(all_have(1)) << "not every listener got a block within 10 s";
    std::vector<int> idle(20, -1);
    for (int k = 0; k < 80; ++k) {  // 8 s
        for (int& fd : idle) {
            if (fd >= 0 && !wait_closed(fd, 0)) continue;
            if (fd >= 0) close(fd);
            fd = connect_nonblocking(metrics_ports_[0]);
        }
        crowd_pump(&crowd, 100);
    }
    for (int fd : idle) close(fd);
    EXPECT_EQ(LISTENING, crowd.listeners.size());
    for (const Listener& l : crowd.listeners) {
        EXPECT_TRUE(is_open(l)) << "HAProxy cut a listener of the crowded edge";
        EXPECT_EQ("", stream_faults(l));
    }
    // 274 ms blocks: 8 s bring about 29; a listener cut and gone would have stopped short.
    EXPECT_TRUE(all_have(20)) << "a listener stopped getting blocks";
}

// The front's other doors, each tried with the real tools an operator's users bring: HTTPS
// and IPv6 listeners with curl, and a producer whose credential is a certificate, through
// socat and the producer front, with certificates made here by openssl.
class FrontDoors : public BehindHAProxy {
   protected:
    struct Identity {
        std::string key, cert;  // PEM files
    };
    // A key and a certificate for name, valid for 127.0.0.1 and localhost: self-signed (a CA,
    // or an operator's first try) without ca, otherwise signed by ca.
    Identity identity(const std::string& name, const Identity* ca = nullptr) {
        Identity id{temp_file(""), temp_file("")};
        std::vector<std::string> request = {OPENSSL_BIN,
                                            "req",
                                            "-newkey",
                                            "ec",
                                            "-pkeyopt",
                                            "ec_paramgen_curve:prime256v1",
                                            "-nodes",
                                            "-subj",
                                            "/CN=" + name,
                                            "-addext",
                                            "subjectAltName=DNS:localhost,IP:127.0.0.1",
                                            "-keyout",
                                            id.key,
                                            "-out"};
        if (ca == nullptr) {
            request.insert(request.end(), {id.cert, "-x509", "-days", "1"});
            run(request);
            return id;
        }
        std::string signing_request = temp_file("");
        request.push_back(signing_request);
        run(request);
        run({OPENSSL_BIN, "x509", "-req", "-in", signing_request, "-CA", ca->cert, "-CAkey",
             ca->key, "-set_serial", std::to_string(++serial_), "-days", "1", "-copy_extensions",
             "copy", "-out", id.cert});
        return id;
    }
    void run(const std::vector<std::string>& argv) {
        Child& c = start(argv);
        EXPECT_EQ(0, wait_exit(c, 20000)) << argv[1] << ": " << stderr_of(c);
    }
    // What blockcheck says of a capture without a relay header, as curl saves one.
    void expect_whole_stream(const std::string& capture, const std::string& door) {
        EXPECT_GT(capture.size(), 5U * 4392) << door << ": fewer than 5 blocks";
        Child& check = start({BLOCKCHECK_BIN, "-n", temp_file(capture)});
        EXPECT_EQ(0, wait_exit(check, 5000)) << door << ": " << stdout_of(check);
    }
    int serial_ = 0;
};

TEST_F(FrontDoors, HttpsAndIpv6ListenersGetAWholeStream) {
    Identity self = identity("localhost");
    ASSERT_NO_FATAL_FAILURE(
        start_cluster(1, temp_file(read_file(self.cert) + read_file(self.key))));
    struct Door {
        const char* name;
        std::string url;
        std::vector<std::string> options;
    };
    const Door doors[] = {
        {"https", "https://127.0.0.1:" + std::to_string(tls_port_) + "/", {"--cacert", self.cert}},
        {"ipv6", "http://[::1]:" + std::to_string(front_port_) + "/", {"-g"}},
    };
    for (const Door& d : doors) {
        // A stream never ends: curl stops it after 4 s (status 28), with what it has saved.
        std::vector<std::string> argv = {CURL_BIN, "-sS", "--noproxy", "*", "--max-time", "4"};
        argv.insert(argv.end(), d.options.begin(), d.options.end());
        argv.push_back(d.url);
        Child& curl = start(argv);
        EXPECT_EQ(28, wait_exit(curl, 15000)) << d.name << ": " << stderr_of(curl);
        expect_whole_stream(stdout_of(curl), d.name);
    }
}

TEST_F(FrontDoors, OnlyAProducerWithACertificateOfTheOperatorsCaReachesTheRelay) {
    Identity ca = identity("producers CA");
    Identity front = identity("relay", &ca);
    Identity producer = identity("producer", &ca);
    Identity other_ca = identity("another CA");
    Identity stranger = identity("stranger", &other_ca);
    int metrics_port = free_port();
    start_relay({"-m", std::to_string(metrics_port)});
    int producer_port = free_port();
    std::string config = read_file(PRODUCER_CONFIG);
    for (const auto& [path, file] : {std::pair<std::string, std::string>{
                                         "/etc/relayhub/producer-front.pem",
                                         temp_file(read_file(front.cert) + read_file(front.key))},
                                     {"/etc/relayhub/producers-ca.pem", ca.cert}}) {
        ASSERT_NE(std::string::npos, config.find(path)) << path;
        config.replace(config.find(path), path.size(), file);
    }
    config = fill_in(config, {{"@PRODUCER_PORT@", producer_port}, {"@RELAY_PORT@", port_}});
    // Loopback only, where the template binds every interface.
    ASSERT_NE(std::string::npos, config.find("bind :")) << config;
    config.replace(config.find("bind :"), 6, "bind 127.0.0.1:");
    Child& haproxy = start({HAPROXY_BIN, "-db", "-f", temp_file(config)});
    ASSERT_GE(own(connect_loopback(producer_port, 5000)), 0) << stderr_of(haproxy);
    // The producer's side: socat on loopback, carrying a connection over TLS; with "fork",
    // each of feedsend's connections, every one by a child that ends with it.
    auto bridge = [&](const Identity* id, const std::string& listen_options) {
        int port = free_port();
        std::string tls =
            "OPENSSL:127.0.0.1:" + std::to_string(producer_port) + ",cafile=" + ca.cert;
        if (id != nullptr) tls += ",cert=" + id->cert + ",key=" + id->key;
        start({SOCAT_BIN, "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1" + listen_options,
               tls});
        return port;
    };
    int producer_bridge = bridge(&producer, ",reuseaddr,fork");
    int probe = connect_loopback(producer_bridge, 5000);  // feedsend would wait 5 s to retry
    ASSERT_GE(probe, 0) << "socat did not listen";
    close(probe);
    start_feed(0, 16000, producer_bridge);
    Crowd& crowd = listeners(1);
    const Listener& l = crowd.listeners[0];
    for (int k = 0; k < 50 && l.check.blocks < 5; ++k) crowd_pump(&crowd, 100);
    ASSERT_GE(l.check.blocks, 5U) << "no stream through the producer front within 5 s";
    Scrape before = scrape(metrics_port);
    ASSERT_EQ(1, before.samples["relayhub_sources"]) << before.body;
    // Without a certificate, and with one of another CA: the handshake fails at the front,
    // so their blocks never reach the relay.
    for (const Identity* id : {static_cast<const Identity*>(nullptr), &std::as_const(stranger)}) {
        int intruder = own(connect_loopback(bridge(id, ""), 5000));
        ASSERT_GE(intruder, 0) << "socat did not listen";
        send_all(intruder, filled_block(100, 'E') + filled_block(100, 'E', 1));
        EXPECT_TRUE(wait_closed(intruder, 5000)) << (id ? "stranger" : "no certificate");
    }
    std::uint64_t at = l.check.last_sequence;
    for (int k = 0; k < 50 && l.check.last_sequence < at + 5; ++k) crowd_pump(&crowd, 100);
    Scrape after = scrape(metrics_port);
    EXPECT_EQ(1, after.samples["relayhub_sources"]) << after.body;
    EXPECT_EQ(before.samples["relayhub_connections_accepted_total"],
              after.samples["relayhub_connections_accepted_total"])
        << "a connection without the CA's certificate reached the relay";
    EXPECT_EQ("", stream_faults(l));
    EXPECT_GE(l.check.last_sequence, at + 5) << "the stream stopped";
}

}  // namespace
