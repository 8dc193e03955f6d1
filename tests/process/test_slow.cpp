// SPDX-License-Identifier: MIT
// Cases that take a minute by design.

#include <chrono>
#include <string>

#include "fixture.h"
#include "scrape.h"
#include "wire.h"

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

class PendingLimit : public ProcessTest {};

TEST_F(PendingLimit, ConnectionsThatNeverFinishARequestGoAfterTenSecondsAndAListenerStays) {
    start_relay();
    int listener = connect_relay();
    ASSERT_TRUE(send_all(listener, "GET / HTTP/1.0\r\n\r\n"));
    ASSERT_EQ(HEADER, recv_for(listener, HEADER.size(), 3000));
    int silent = connect_relay();
    int trickling = connect_relay();
    auto accepted = std::chrono::steady_clock::now();
    const std::string request = "GET /never-ending HTTP/1.0\r\nX: y\r\n";
    bool silent_closed = false;
    bool trickling_closed = false;
    double silent_at = 0;
    double trickling_at = 0;
    // A byte a second from one, nothing from the other, for at most 30 s.
    for (std::size_t k = 0; k < 30 && !(silent_closed && trickling_closed); ++k) {
        if (!trickling_closed) send_all(trickling, request.substr(k % request.size(), 1));
        double now =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - accepted).count();
        if (!silent_closed && wait_closed(silent, 0)) {
            silent_closed = true;
            silent_at = now;
        }
        if (!trickling_closed && wait_closed(trickling, 0)) {
            trickling_closed = true;
            trickling_at = now;
        }
        sleep_for_ms(1000);
    }
    EXPECT_TRUE(silent_closed);
    EXPECT_TRUE(trickling_closed);
    // Ten seconds after the accept, read each second: generous on a busy machine.
    EXPECT_GT(silent_at, 9.0);
    EXPECT_LT(silent_at, 20.0);
    EXPECT_GT(trickling_at, 9.0);
    EXPECT_LT(trickling_at, 20.0);
    EXPECT_FALSE(wait_closed(listener, 0)) << "the listener was closed too";
}

// Health, metrics and the page apart: the health answer says whether a source byte came within
// 10 s, the metrics and the page are answered whatever the stream does, and any other path is
// not found.
TEST_F(PendingLimit, HealthIs503BeforeASource200WhileItSendsAnd503TenSecondsAfter) {
    const std::string OK = "HTTP/1.0 200 OK", DOWN = "HTTP/1.0 503 Service Unavailable";
    int metrics_port = free_port();
    start_relay({"-m", std::to_string(metrics_port)});
    EXPECT_EQ(DOWN, scrape(metrics_port, "/health").status);
    EXPECT_EQ(OK, scrape(metrics_port).status);
    EXPECT_EQ(OK, scrape(metrics_port, "/metrics?from=test").status);
    EXPECT_EQ(DOWN, scrape(metrics_port, "/health?from=test").status);
    // HEAD: the same status and headers, without the body.
    int head = own(connect_loopback(metrics_port));
    ASSERT_TRUE(send_all(head, "HEAD /metrics HTTP/1.0\r\n\r\n"));
    std::string headers = recv_for(head, 1 << 16, 3000);
    EXPECT_EQ(0U, headers.find(OK + "\r\n")) << headers;
    EXPECT_EQ(headers.size() - 4, headers.find("\r\n\r\n")) << headers;
    // The page, whatever the stream does, with the reason health gives; other paths are not found.
    Scrape page = scrape(metrics_port, "/?from=test");
    EXPECT_EQ(OK, page.status);
    EXPECT_NE(std::string::npos, page.body.find(">not live: no source yet<")) << page.body;
    for (const char* path : {"/index.html", "//", "/metrics/x", "/healthz", "/Health"}) {
        EXPECT_EQ("HTTP/1.0 404 Not Found", scrape(metrics_port, path).status) << path;
    }
    int source = connect_relay();
    ASSERT_TRUE(send_all(source, filled_block(100, 'x')));
    EXPECT_TRUE(wait_for([&] { return scrape(metrics_port, "/health").status == OK; }, 3000));
    auto last_byte = std::chrono::steady_clock::now();
    // The source stays connected but silent: live for 10 s from its last byte, then not.
    EXPECT_TRUE(wait_for([&] { return scrape(metrics_port, "/health").status != OK; }, 20000));
    double silent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - last_byte).count();
    EXPECT_GT(silent, 9.0);
    EXPECT_EQ(DOWN, scrape(metrics_port, "/health").status);
    Scrape s = scrape(metrics_port);
    EXPECT_EQ(OK, s.status);
    EXPECT_GE(s.samples["relayhub_source_idle_seconds"], 9.0) << s.body;
    EXPECT_EQ(1, s.samples["relayhub_sources"]) << s.body;
    EXPECT_FALSE(wait_closed(source, 0));
}

}  // namespace
