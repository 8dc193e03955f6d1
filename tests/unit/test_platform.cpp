// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "send_report.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(ClockMs, IsTheWallClockInMillisecondsCutTo32Bits) {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto expected = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count());
    std::uint32_t got = clock_ms();
    std::uint32_t difference = got - expected;  // unsigned: right across the wrap
    EXPECT_LT(difference, 1000U);
}

TEST(ClockMs, DifferencesOfBothClocksFollowTheTimeSlept) {
    std::uint32_t wall = clock_ms();
    std::uint32_t monotonic = monotonic_ms();
    sleep_ms(1500);
    for (std::uint32_t difference : {clock_ms() - wall, monotonic_ms() - monotonic}) {
        EXPECT_GE(difference, 1499U);
        EXPECT_LT(difference, 3000U);  // generous: a shared machine may be slow to wake us
    }
}

TEST(SleepMs, SleepsShortAndLongCountsInFull) {
    for (int ms : {10, 5000}) {
        auto started = Clock::now();
        sleep_ms(ms);
        long slept = elapsed_ms(started);
        EXPECT_GE(slept, ms) << ms;
        EXPECT_LT(slept, ms + 2000) << ms;
    }
}

TEST(SleepUntilMs, SleepsToADeadlineAheadAndNotAtAllForOneThatHasPassed) {
    struct Case {
        std::int32_t from_now_ms;  // where the deadline lies
        long at_least_ms, below_ms;
    };
    // A millisecond short is allowed: the clock reading the deadline counts from is cut to
    // whole milliseconds. The bounds above are generous: a shared machine may wake us late.
    for (Case c : {Case{100, 99, 2100}, Case{0, 0, 1000}, Case{-1000, 0, 1000},
                   Case{INT32_MIN + 1, 0, 1000}}) {
        auto started = Clock::now();
        sleep_until_ms(monotonic_ms() + static_cast<std::uint32_t>(c.from_now_ms));
        long slept = elapsed_ms(started);
        EXPECT_GE(slept, c.at_least_ms) << c.from_now_ms;
        EXPECT_LT(slept, c.below_ms) << c.from_now_ms;
    }
}

TEST(SendOrReport, AFailedSendWritesOneLineAndAnswersOne) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    close(pair[1]);            // the peer has gone
    signal(SIGPIPE, SIG_IGN);  // as the clients do, so the failure comes back as -1
    testing::internal::CaptureStderr();
    int result = send_or_report(pair[0], "x", 1);
    std::string written = testing::internal::GetCapturedStderr();
    close(pair[0]);
    EXPECT_EQ(1, result);
    EXPECT_EQ("send error: " + std::to_string(EPIPE) + "\n", written);
}

TEST(SendOrReport, APieceLargerThanTheSocketTakesAtOnceArrivesWhole) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<char> piece(1 << 20);
    for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>(i * 7 + i / 251);
    std::string received;
    std::thread reader([&] {
        char buf[1000];  // small reads, so the sender's calls are taken in part
        while (received.size() < piece.size()) {
            ssize_t n = recv(pair[1], buf, sizeof buf, 0);
            if (n <= 0) break;
            received.append(buf, static_cast<std::size_t>(n));
        }
    });
    int result = send_or_report(pair[0], piece.data(), static_cast<int>(piece.size()));
    reader.join();
    close(pair[0]);
    close(pair[1]);
    EXPECT_EQ(0, result);
    EXPECT_TRUE(received == std::string(piece.begin(), piece.end()));
}

}  // namespace
