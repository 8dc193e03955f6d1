// relayhub relaying a stream: raw TCP sources, raw and curl players, on loopback.

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "wire.h"

using namespace testkit;

namespace {

const std::string HEADER(RESPONSE_HEADER, RESPONSE_HEADER_SIZE);
const std::string REQUEST = "GET /stream HTTP/1.0\r\nHost: test\r\n\r\n";

std::string stream_of(int first, int n, std::size_t payload) {
    std::string s;
    for (int k = first; k < first + n; ++k) {
        s += make_block(pattern_payload(payload, static_cast<std::uint32_t>(k)),
                        static_cast<std::uint32_t>(k));
    }
    return s;
}

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
    std::string stream = stream_of(0, 3, 500);
    ASSERT_TRUE(send_all(source, stream));
    EXPECT_EQ(stream, recv_for(p, stream.size(), 3000));
}

TEST_F(RelayStream, CurlGetsTheHeaderAndTheStreamFromABlockBoundary) {
    int source = connect_relay();
    std::string stream = stream_of(0, 3, 1000);
    ASSERT_TRUE(send_all(source, stream));
    sleep_for_ms(100);
    std::string headers = temp_file("");
    std::string body = temp_file("");
    Child& curl = start({"/usr/bin/curl", "-s", "-N", "--max-time", "3", "-D", headers, "-o", body,
                         "http://127.0.0.1:" + std::to_string(port_) + "/live"});
    sleep_for_ms(300);
    for (int k = 3; k < 8; ++k) {
        std::string more = stream_of(k, 1, 1000);
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
    std::string first = stream_of(0, 2, 700);
    std::string second = stream_of(2, 3, 700);
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
    std::string block = stream_of(0, 1, 100);
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
    ASSERT_TRUE(send_all(source, stream_of(0, 1, 2 * 1024 * 1024)));
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
        // About 1 MB per second, far above a player's 146,000 bytes per second.
        for (int k = 0; k < 400 && !stop; ++k) {
            if (!send_all(source, stream_of(k, 1, 4000))) break;
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

}  // namespace
