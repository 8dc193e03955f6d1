// SPDX-License-Identifier: MIT
// Cases that take a minute by design.

#include <chrono>
#include <string>

#include "fixture.h"

using namespace testkit;

namespace {

class FeedfetchIdle : public ProcessTest {};

TEST_F(FeedfetchIdle, AServerThatSendsNothingIsLeftAfterSixtySeconds) {
    int port = 0;
    int server = own(listen_loopback(&port));
    std::string path = temp_file("GET / HTTP/1.0\r\n\r\n");
    Child& fetcher = start({FEEDFETCH_BIN, "@127.0.0.1", std::to_string(port), path});
    int first = own(accept_within(server, 5000));
    ASSERT_GE(first, 0);
    auto accepted = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_closed(first, 90000));
    double idle =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - accepted).count();
    EXPECT_GT(idle, 59.0);
    EXPECT_LT(idle, 75.0);
    // A new connection at once, and nothing written for the one that ended.
    EXPECT_GE(own(accept_within(server, 3000)), 0);
    EXPECT_EQ("", stdout_of(fetcher));
    EXPECT_EQ(std::string::npos, stderr_of(fetcher).find("recv"));
}

}  // namespace
