// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blocks.h"
#include "players.h"
#include "stream_window.h"
#include "wire.h"

namespace {

struct ClassifyCase {
    const char* name;
    ConnectionState state;
    std::string bytes;  // what the record holds
    ConnectionState expected;
};

void PrintTo(const ClassifyCase& c, std::ostream* os) { *os << c.name; }

const std::string MARK = "<BL>";

const ClassifyCase CLASSIFY_CASES[] = {
    {"a complete request of 12 bytes waits", PENDING, "GET /xyz\r\n\r\n", PENDING},
    {"a marker and 8 bytes wait", PENDING, MARK + "12345678", PENDING},
    {"a marker and 9 bytes make a source", PENDING, MARK + "123456789", SOURCE},
    {"a marker before a request end makes a source", PENDING, MARK + "x\r\n\r\nGET / HTTP", SOURCE},
    {"a request of 13 bytes makes a player", PENDING, "GET / HTP\r\n\r\n", PLAYER},
    {"a request with bytes behind it makes a player", PENDING, "GET / HTTP/1.0\r\n\r\nextra",
     PLAYER},
    {"8191 bytes without an end wait", PENDING, std::string(8191, 'x'), PENDING},
    {"8192 bytes without an end make a player", PENDING, std::string(8192, 'x'), PLAYER},
    {"a marker later than the start is no source", PENDING, "x" + MARK + "23456789", PENDING},
    {"a source stays a source", SOURCE, "GET / HTTP/1.0\r\n\r\n", SOURCE},
    {"a player stays a player", PLAYER, MARK + "123456789", PLAYER},
};

class Classify : public testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, DecidesOnlyAboveTwelveBytes) {
    const ClassifyCase& c = GetParam();
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE, 0);
    std::memcpy(buffer.data(), c.bytes.data(), c.bytes.size());
    Connection record{};
    record.state = c.state;
    record.buffer = buffer.data();
    take_request_read(buffer.data(), &record.fill, &record.header_end,
                      static_cast<std::uint32_t>(c.bytes.size()));
    EXPECT_EQ(c.expected, classify(record));
}

INSTANTIATE_TEST_SUITE_P(Records, Classify, testing::ValuesIn(CLASSIFY_CASES));

// Who may become a source, from the -s values as given on the command line.
struct PolicyCase {
    const char* name;
    std::vector<std::string> allow;  // -s values; none: the default
    const char* peer;
    bool allowed;
};

void PrintTo(const PolicyCase& c, std::ostream* os) { *os << c.name; }

const PolicyCase POLICY_CASES[] = {
    {"by default this host", {}, "127.0.0.1", true},
    {"by default all of loopback", {}, "127.255.0.9", true},
    {"by default no other host", {}, "10.0.0.1", false},
    {"a /32 itself", {"127.0.0.1/32"}, "127.0.0.1", true},
    {"a /32 not its neighbour", {"127.0.0.1/32"}, "127.0.0.2", false},
    {"an address alone is a /32", {"192.168.1.5"}, "192.168.1.6", false},
    {"host bits beyond the prefix are ignored", {"10.1.2.3/8"}, "10.200.0.1", true},
    {"a network's edge", {"192.168.4.0/22"}, "192.168.7.255", true},
    {"just past a network's edge", {"192.168.4.0/22"}, "192.168.8.0", false},
    {"any of several", {"10.0.0.0/8", "172.16.0.0/12"}, "172.31.1.1", true},
    {"a list without loopback refuses it", {"10.0.0.0/8"}, "127.0.0.1", false},
    {"/0 allows everyone", {"0.0.0.0/0"}, "203.0.113.7", true},
};

class Policy : public testing::TestWithParam<PolicyCase> {};

TEST_P(Policy, AllowsExactlyTheNetworksGiven) {
    const PolicyCase& c = GetParam();
    SourcePolicy policy{};
    for (const std::string& text : c.allow) {
        ASSERT_TRUE(parse_network(text.c_str(), &policy.networks[policy.count])) << text;
        policy.count += 1;
    }
    std::uint32_t peer = 0;
    ASSERT_TRUE(parse_ipv4(c.peer, &peer));
    EXPECT_EQ(c.allowed, source_allowed(policy, peer));
}

INSTANTIATE_TEST_SUITE_P(Sources, Policy, testing::ValuesIn(POLICY_CASES));

// A TCP pair on loopback whose sending side has a small, non-blocking send buffer.
void small_tcp_pair(int* sender, int* receiver) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    *sender = socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    setsockopt(*sender, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    connect(*sender, reinterpret_cast<sockaddr*>(&a), sizeof a);
    *receiver = accept(listener, nullptr, nullptr);
    setsockopt(*receiver, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    close(listener);
    fcntl(*sender, F_SETFL, O_NONBLOCK);
}

TEST(PumpPlayer, APieceTakenInPartLosesNoByte) {
    std::string stream;
    for (int k = 0; k < 40; ++k) {
        std::string payload(3000, static_cast<char>('a' + k % 26));
        for (std::size_t j = 0; j < payload.size(); j += 7)
            payload[j] = static_cast<char>('0' + j % 10);
        stream += testkit::make_block(payload, static_cast<std::uint32_t>(k));
    }
    // One read's worth, so the rule drops nothing: the window holds it all.
    auto window = std::make_unique<StreamWindow>();
    window_append(*window, reinterpret_cast<const std::uint8_t*>(stream.data()), 60000);
    ASSERT_EQ(0U, window->base);
    int sender = -1;
    int receiver = -1;
    small_tcp_pair(&sender, &receiver);
    Connection player{};
    player.fd = sender;
    player.state = PLAYER;
    player.position = 0;
    std::string got;
    int in_part = 0;
    char buf[65536];
    for (int round = 0; round < 10000 && got.size() < 60000; ++round) {
        // Pump until the socket takes nothing more; the last piece is usually taken in part.
        int r = 0;
        for (;;) {
            std::uint64_t before = player.position;
            r = pump_player(player, *window);
            if (r <= 0) break;
            EXPECT_EQ(before + static_cast<std::uint64_t>(r), player.position);
            if (r < static_cast<int>(PIECE_SIZE) && player.position < 60000) ++in_part;
        }
        pollfd p{receiver, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            if (r == 0) break;  // all sent and nothing more arrives
            continue;
        }
        ssize_t n = recv(receiver, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    close(sender);
    close(receiver);
    EXPECT_GT(in_part, 0) << "no piece was taken in part; the case was not exercised";
    ASSERT_EQ(60000U, got.size());
    EXPECT_TRUE(got == stream.substr(0, 60000));
}

TEST(PumpPlayer, APlayerBehindTheWindowIsDroppedAndOneAtTheEndWaits) {
    std::string b;
    for (int k = 0; k < 4; ++k) {
        b += testkit::filled_block(100, 'p');
    }
    // Four 112-byte blocks in reads of 112: the fourth read finds two complete blocks behind the
    // first and drops it.
    auto window = std::make_unique<StreamWindow>();
    for (int k = 0; k < 4; ++k) {
        window_append(*window, reinterpret_cast<const std::uint8_t*>(b.data()) + 112 * k, 112);
    }
    ASSERT_EQ(112U, window->base);
    Connection player{};
    player.fd = -1;  // never sent on: no case reaches the socket
    player.state = PLAYER;
    player.started = true;
    player.position = 111;
    EXPECT_EQ(-1, pump_player(player, *window));
    player.position = 112 + 336;
    EXPECT_EQ(0, pump_player(player, *window));
    EXPECT_EQ(112U + 336U, player.position);
    player.retired = true;  // bytes it was sent have been discarded
    EXPECT_EQ(-1, pump_player(player, *window));
    // One that was sent nothing yet loses nothing when the window passes it: it moves to the
    // join point, the newest block, and is sent that.
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    Connection fresh{};
    fresh.fd = pair[0];
    fresh.state = PLAYER;
    fresh.position = 0;
    EXPECT_EQ(112, pump_player(fresh, *window));
    EXPECT_EQ(448U, fresh.position);
    char got[112];
    EXPECT_EQ(112, recv(pair[1], got, sizeof got, MSG_WAITALL));
    EXPECT_EQ(b.substr(336), std::string(got, sizeof got));
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
