// SPDX-License-Identifier: MIT
// relayhub relaying a stream: raw TCP sources, raw and curl players, on loopback.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "wire.h"

using namespace testkit;

namespace {

const std::string REQUEST = "GET /stream HTTP/1.0\r\nHost: test\r\n\r\n";

class RelayStream : public ProcessTest {
   protected:
    void SetUp() override { start_relay(); }

    // A player that has sent its request and read the response header.
    int player() {
        int fd = connect_relay();
        EXPECT_TRUE(send_all(fd, REQUEST));
        EXPECT_EQ(HEADER, recv_for(fd, HEADER.size(), 3000));
        return fd;
    }
};

TEST_F(RelayStream, APlayerBeforeAnySourceGetsTheStreamFromItsFirstByte) {
    int p = player();
    EXPECT_EQ("", recv_for(p, 1, 200));  // nothing to send yet
    int source = connect_relay();
    std::string stream = pattern_blocks(0, 3, 500);
    ASSERT_TRUE(send_all(source, stream));
    EXPECT_EQ(stream, recv_for(p, stream.size(), 3000));
}

TEST_F(RelayStream, CurlGetsTheHeaderAndTheStreamFromABlockBoundary) {
    int source = connect_relay();
    std::string stream = pattern_blocks(0, 3, 1000);
    ASSERT_TRUE(send_all(source, stream));
    sleep_for_ms(100);
    std::string headers = temp_file("");
    std::string body = temp_file("");
    Child& curl = start({"/usr/bin/curl", "-s", "-N", "--max-time", "3", "-D", headers, "-o", body,
                         "http://127.0.0.1:" + std::to_string(port_) + "/live"});
    sleep_for_ms(300);
    for (int k = 3; k < 8; ++k) {
        std::string more = pattern_blocks(static_cast<std::uint32_t>(k), 1, 1000);
        ASSERT_TRUE(send_all(source, more));
        stream += more;
        sleep_for_ms(100);
    }
    wait_exit(curl, 10000);
    EXPECT_EQ(HEADER, read_file(headers));
    std::string got = read_file(body);
    ASSERT_GE(got.size(), 5U * 1012U);
    ASSERT_LE(got.size(), stream.size());
    std::size_t from = stream.size() - got.size();
    EXPECT_EQ(0U, from % 1012) << "the player did not start at a block boundary";
    EXPECT_TRUE(got == stream.substr(from)) << "the player's bytes differ from the stream";
}

TEST_F(RelayStream, ASourceThatClosesIsContinuedByTheNext) {
    int p = player();
    std::string first = pattern_blocks(0, 2, 700);
    std::string second = pattern_blocks(2, 3, 700);
    int a = connect_relay();
    ASSERT_TRUE(send_all(a, first));
    EXPECT_EQ(first, recv_for(p, first.size(), 3000));
    shutdown(a, SHUT_RDWR);
    sleep_for_ms(100);
    int b = connect_relay();
    ASSERT_TRUE(send_all(b, second));
    EXPECT_EQ(second, recv_for(p, second.size(), 3000));
    EXPECT_FALSE(wait_closed(p, 100));
}

TEST_F(RelayStream, TwelveBytesDecideNothingAndTheThirteenthDoes) {
    // A request of exactly 12 bytes, end included, is not answered until one more byte comes.
    int early = connect_relay();
    ASSERT_TRUE(send_all(early, "GET /xxx\r\n\r\n"));
    EXPECT_EQ("", recv_for(early, 1, 300));
    ASSERT_TRUE(send_all(early, "x"));
    EXPECT_EQ(HEADER, recv_for(early, HEADER.size(), 3000));
    // A source's first 12 bytes reach the window only with the 13th.
    int p = player();
    int source = connect_relay();
    std::string block = pattern_blocks(0, 1, 100);
    ASSERT_TRUE(send_all(source, block.substr(0, 12)));
    EXPECT_EQ("", recv_for(p, 1, 300));
    ASSERT_TRUE(send_all(source, block.substr(12, 1)));
    EXPECT_EQ(block.substr(0, 13), recv_for(p, 13, 3000));
}

TEST_F(RelayStream, ARequestMustEndWithin8191Bytes) {
    int fd = connect_relay();
    ASSERT_TRUE(send_all(fd, std::string(8191, 'h')));
    EXPECT_EQ("", recv_for(fd, 1, 300));
    ASSERT_TRUE(send_all(fd, "h"));
    EXPECT_EQ(HEADER, recv_for(fd, HEADER.size(), 3000));
}

TEST_F(RelayStream, ARequestEndSplitAcrossReadsIsAnswered) {
    int fd = connect_relay();
    ASSERT_TRUE(send_all(fd, "GET / HTTP/1.0\r\n\r"));
    sleep_for_ms(100);  // several passes: the two parts arrive in different reads
    ASSERT_TRUE(send_all(fd, "\n"));
    EXPECT_EQ(HEADER, recv_for(fd, HEADER.size(), 3000));
}

TEST_F(RelayStream, APlayerGetsAtMostOnePiecePerPass) {
    // One block of 2 MB: the window holds it all, so only the pacing limits the player.
    int source = connect_relay();
    ASSERT_TRUE(send_all(source, pattern_blocks(0, 1, 2 * 1024 * 1024)));
    sleep_for_ms(300);
    int p = player();
    auto started = std::chrono::steady_clock::now();
    std::string got = recv_for(p, 1 << 30, 2000);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Passes are at least 10 ms apart: at most one 1460-byte piece per pass, and one at join.
    double ceiling = 1460.0 * (seconds * 100.0 + 2.0);
    EXPECT_LE(static_cast<double>(got.size()), ceiling * 1.05) << got.size() << " in " << seconds;
    EXPECT_GE(got.size(), 40000U) << "the player was hardly served";
}

TEST_F(RelayStream, APlayerThatCannotKeepUpIsDroppedWhileAFreshOneIsServed) {
    int source = connect_relay();
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        // About 1 MB per second, far above a player's 146,000 bytes per second, until the test
        // has its answers: a relay slowed by a busy machine must still see the player fall
        // behind before the stream ends (at most about 5 s of it).
        for (int k = 0; k < 1250 && !stop; ++k) {
            if (!send_all(source, pattern_blocks(static_cast<std::uint32_t>(k), 1, 4000))) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    });
    sleep_for_ms(200);
    int slow = player();
    EXPECT_TRUE(wait_closed(slow, 5000)) << "the player that fell behind was not dropped";
    int fresh = connect_relay();
    ASSERT_TRUE(send_all(fresh, REQUEST));
    std::string got = recv_for(fresh, HEADER.size() + 12, 3000);
    stop = true;
    feeder.join();
    ASSERT_EQ(HEADER.size() + 12, got.size());
    EXPECT_EQ(HEADER, got.substr(0, HEADER.size()));
    EXPECT_TRUE(is_block_marker(reinterpret_cast<const std::uint8_t*>(got.data()) + HEADER.size()))
        << "the fresh player did not start at a block";
}

TEST_F(RelayStream, APlayerSentBytesTheWindowCutsIsDroppedAndAFreshOneGetsWholeBlocks) {
    int spliced = player();
    // A block, then a header whose length no window can hold and 20 bytes of it: the player is
    // sent all 144 bytes before the next read shows that they do not frame.
    std::string first = pattern_blocks(0, 1, 100);
    std::string bogus = block_header(0xFFFFFFFFU, 7) + std::string(20, 'j');
    int source = connect_relay();
    ASSERT_TRUE(send_all(source, first + bogus));
    ASSERT_EQ(first + bogus, recv_for(spliced, 144, 3000));
    std::string second = pattern_blocks(1, 1, 100);
    ASSERT_TRUE(send_all(source, second));  // cuts the bogus bytes away
    EXPECT_TRUE(wait_closed(spliced, 3000)) << "the player would resume inside other bytes";
    int fresh = player();
    std::string third = pattern_blocks(2, 1, 100);
    ASSERT_TRUE(send_all(source, third));
    EXPECT_EQ(second + third, recv_for(fresh, second.size() + third.size(), 3000));
}

TEST_F(RelayStream, ASourceEndingInsideABlockLeavesNoPartOfItBetweenTheNextSourcesBlocks) {
    int early = player();
    int a = connect_relay();
    std::string whole = pattern_blocks(0, 2, 700);
    std::string cut = pattern_blocks(2, 1, 700).substr(0, 300);
    ASSERT_TRUE(send_all(a, whole + cut));
    ASSERT_EQ(whole + cut, recv_for(early, whole.size() + cut.size(), 3000));
    close(a);  // ends inside block 2
    sleep_for_ms(100);
    int b = connect_relay();
    std::string next = pattern_blocks(3, 2, 700);
    ASSERT_TRUE(send_all(b, next));
    // The player that had part of block 2 would otherwise go on inside block 3.
    EXPECT_TRUE(wait_closed(early, 3000)) << "a player was spliced into the new source's block";
    int late = player();
    std::string more = pattern_blocks(5, 1, 700);
    ASSERT_TRUE(send_all(b, more));
    // It starts at the newest complete block, 4, and goes on with 5: whole blocks of b only.
    EXPECT_EQ(pattern_blocks(4, 2, 700), recv_for(late, 2 * 712, 3000));
}

TEST_F(RelayStream, ASecondSourceTakesOverAndTheFirstIsClosed) {
    int p = player();
    int first = connect_relay();
    std::string from_first = pattern_blocks(0, 2, 500);
    ASSERT_TRUE(send_all(first, from_first));
    ASSERT_EQ(from_first, recv_for(p, from_first.size(), 3000));
    // The first source's peer has gone quiet mid-block, without closing.
    ASSERT_TRUE(send_all(first, pattern_blocks(2, 1, 500).substr(0, 100)));
    sleep_for_ms(100);
    int second = connect_relay();
    ASSERT_TRUE(send_all(second, pattern_blocks(10, 3, 500)));
    EXPECT_TRUE(wait_closed(first, 3000)) << "the first source was left connected";
    int fresh = player();
    ASSERT_TRUE(send_all(second, pattern_blocks(13, 1, 500)));
    EXPECT_EQ(pattern_blocks(12, 2, 500), recv_for(fresh, 2 * 512, 3000));
}

TEST_F(RelayStream, ARelayRestartedUnderARunningPipelineServesAWholeStreamAgain) {
    start_feed(1000, 16000, port_);
    // 1012-byte blocks: feedsend's 1460-byte pieces cross block boundaries, so the relay's end
    // cuts the source's connection inside a block.
    int attached = player();
    ASSERT_GT(recv_for(attached, 3000, 3000).size(), 2000U);
    stop(*children_.front());  // the relay, with a source and a listener attached
    Child& again = start({RELAYHUB_BIN, std::to_string(port_)});
    ASSERT_GE(own(connect_loopback(port_, 2000)), 0) << "the port did not reopen at once";
    ASSERT_FALSE(has_exited(again)) << stdout_of(again);
    std::string request = temp_file(REQUEST);
    Child& fetch = start({FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port_), request});
    // feedsend notices the lost connection at its next send, pauses 5 s and resumes at a block.
    EXPECT_TRUE(wait_for([&] { return stdout_of(fetch).size() > HEADER.size() + 3 * 1012; }, 10000))
        << "no stream within 10 s of the restart";
    std::string capture = temp_file(stdout_of(fetch));  // a last block cut short is allowed
    stop(fetch);
    Child& check = start({BLOCKCHECK_BIN, capture});
    EXPECT_EQ(0, wait_exit(check, 5000)) << stdout_of(check);
}

TEST_F(RelayStream, ListenersJoiningAPacedPipelineAtRandomMomentsAllStayOnAWholeStream) {
    start_feed(4000, 16000, port_);
    sleep_for_ms(600);
    // 40 listeners join at random moments over 3 s, so at every phase of the 250 ms block
    // interval, and each reads all that comes for at least 1.5 s.
    std::mt19937 random(12345);
    std::vector<int> joins_ms(40);
    for (int& t : joins_ms) t = std::uniform_int_distribution<int>(0, 3000)(random);
    std::sort(joins_ms.begin(), joins_ms.end());
    Crowd& crowd = listeners(0);
    int now_ms = 0;
    for (int t : joins_ms) {
        crowd_pump(&crowd, t - now_ms);
        now_ms = t;
        crowd_join(&crowd, crowd_add(&crowd));
    }
    crowd_pump(&crowd, 1500);
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        EXPECT_TRUE(is_open(l)) << "listener " << k << " was dropped";
        EXPECT_EQ("", stream_faults(l)) << "listener " << k;
        // 1.5 s of a 250 ms block interval: at least four whole blocks.
        EXPECT_GE(l.check.blocks, 4U) << "listener " << k;
    }
}

// Who may feed the stream: a would-be source from an address outside -s is closed before its
// bytes reach the window, and the allowed source's stream reaches a listener whole.
struct SourcePolicyCase {
    const char* name;
    std::string allow;    // the -s value
    const char* allowed;  // the producer's address
    const char* refused;  // the intruder's
};

void PrintTo(const SourcePolicyCase& c, std::ostream* os) { *os << c.name; }

const SourcePolicyCase SOURCE_POLICY_CASES[] = {
    {"one address of loopback", "127.0.0.1/32", "127.0.0.1", "127.0.0.2"},
    {"another address alone", "127.0.0.2", "127.0.0.2", "127.0.0.1"},
};

class RelaySourcePolicy : public ProcessTest,
                          public testing::WithParamInterface<SourcePolicyCase> {};

TEST_P(RelaySourcePolicy, OnlyAnAllowedPeerFeedsTheStream) {
    const SourcePolicyCase& c = GetParam();
    Child& relay = start_relay({"-s", c.allow});
    int listener = connect_relay();  // listeners may come from anywhere
    ASSERT_TRUE(send_all(listener, REQUEST));
    ASSERT_EQ(HEADER, recv_for(listener, HEADER.size(), 3000));
    int producer = own(connect_between(c.allowed, "127.0.0.1", port_));
    std::string before = pattern_blocks(0, 2, 600);
    ASSERT_TRUE(send_all(producer, before));
    ASSERT_EQ(before, recv_for(listener, before.size(), 3000));
    int intruder = own(connect_between(c.refused, "127.0.0.1", port_));
    ASSERT_GE(intruder, 0);
    send_all(intruder, filled_block(100, 'E') + filled_block(100, 'V'));
    EXPECT_TRUE(wait_closed(intruder, 3000)) << "the intruder was kept";
    std::string after = pattern_blocks(2, 2, 600);
    ASSERT_TRUE(send_all(producer, after));
    EXPECT_EQ(after, recv_for(listener, after.size() + 1, 1000));  // not a byte more
    EXPECT_FALSE(wait_closed(producer, 0));
    std::string log = stderr_of(relay);
    EXPECT_EQ(1U, count_of(log, "refused")) << log;
    EXPECT_NE(std::string::npos, log.find(std::string("source refused: ") + c.refused + ":"))
        << log;
}

INSTANTIATE_TEST_SUITE_P(RelayStream, RelaySourcePolicy, testing::ValuesIn(SOURCE_POLICY_CASES));

}  // namespace
