// SPDX-License-Identifier: MIT
// An operator's Prometheus, started on loopback, scraping two relays' metrics ports, and a
// person's browser on one relay's status page.

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "scrape.h"

using namespace testkit;

namespace {

// One Prometheus HTTP API query; the answer's body (JSON), or "" when none came.
std::string query(int port, const std::string& expression) {
    int fd = connect_loopback(port, 1000);
    if (fd < 0) return "";
    send_all(fd, "GET /api/v1/query?query=" + expression + " HTTP/1.0\r\n\r\n");
    std::string answer = recv_for(fd, 1 << 20, 3000);
    close(fd);
    std::size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The value of the series whose instance is 127.0.0.1:target in a vector answer, as the API
// writes it ("1", "3"), or "" when there is none: {"metric":{...,"instance":"...",...},
// "value":[<time>,"<value>"]}.
std::string value_for(const std::string& answer, int target) {
    std::size_t at = answer.find("\"instance\":\"127.0.0.1:" + std::to_string(target) + "\"");
    if (at == std::string::npos) return "";
    std::size_t value = answer.find("\"value\":[", at);
    if (value == std::string::npos) return "";
    std::size_t open = answer.find(",\"", value);
    std::size_t close_quote = answer.find('"', open + 2);
    if (open == std::string::npos || close_quote == std::string::npos) return "";
    return answer.substr(open + 2, close_quote - open - 2);
}

// A headless chromium driven over its DevTools pipe: each command goes in as a JSON text ended
// by a NUL on the browser's descriptor 3, and answers and events come back the same way on its
// descriptor 4. One end of a socket pair stands for both; the test holds the other.
struct Browser {
    int fd = -1;
    pid_t group = -1;     // the browser's own process group, which its helper processes join
    std::string session;  // the page's, once attached; commands then go to the page
    std::string unread;   // what came after the last whole message
    int last_id = 0;
    std::vector<std::string> events;  // every event so far, in order
};

// Sends a command and returns its answer, keeping the events that come before it; "" when
// none comes within 10 s.
std::string command(Browser& b, const std::string& method, const std::string& params = "{}") {
    std::string id = "{\"id\":" + std::to_string(++b.last_id);
    std::string session = b.session.empty() ? "" : ",\"sessionId\":\"" + b.session + "\"";
    if (!send_all(b.fd, id + session + ",\"method\":\"" + method + "\",\"params\":" + params + "}" +
                            '\0')) {
        return "";
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        for (std::size_t end = b.unread.find('\0'); end != std::string::npos;
             end = b.unread.find('\0')) {
            std::string message = b.unread.substr(0, end);
            b.unread.erase(0, end + 1);
            if (message.rfind(id + ",", 0) == 0) return message;
            b.events.push_back(message);
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{b.fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
        char buffer[65536];
        ssize_t n = recv(b.fd, buffer, sizeof buffer, 0);
        if (n <= 0) return "";
        b.unread.append(buffer, static_cast<std::size_t>(n));
    }
}

// The text after "key":" up to the next quote, or "" without one: the ids, values and data
// read here hold no escaped quote.
std::string field(const std::string& message, const std::string& key, std::size_t from = 0) {
    std::size_t at = message.find("\"" + key + "\":\"", from);
    if (at == std::string::npos) return "";
    at += key.size() + 4;
    return message.substr(at, message.find('"', at) - at);
}

// What a script in the page evaluates to, as a string.
std::string evaluate(Browser& b, const std::string& expression) {
    return field(command(b, "Runtime.evaluate",
                         "{\"expression\":\"String(" + expression + ")\",\"returnByValue\":true}"),
                 "value");
}

std::string base64_decode(const std::string& text) {
    const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        std::size_t value = ALPHABET.find(c);
        if (value == std::string::npos) break;  // the padding
        bits = bits << 6 | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>(bits >> count & 0xFF));
        }
    }
    return out;
}

class Watching : public ProcessTest {
   protected:
    // The browser's whole process group goes, not only the process the fixture started: its
    // helpers outlive it otherwise. The test process is their subreaper, so each is reaped here.
    // True once none is left.
    bool end_browser() {
        if (browser_.group <= 0) return true;
        pid_t group = browser_.group;
        browser_.group = -1;
        kill(-group, SIGKILL);
        for (auto& child : children_) {
            if (child->pid == group) stop(*child);
        }
        close(browser_.fd);
        return wait_for(
            [&] {
                while (waitpid(-group, nullptr, WNOHANG) > 0) {
                }
                return kill(-group, 0) != 0 && errno == ESRCH;
            },
            5000);
    }
    void TearDown() override {
        end_browser();
        ProcessTest::TearDown();
    }
    Browser browser_;
};

// The first relay has a live stream; the second has none, and is seen all the same.
TEST_F(Watching, PrometheusScrapesTwoRelaysAndSeesTheirListeners) {
    std::vector<int> metrics_ports;
    const int listeners[2] = {2, 3};
    for (int r = 0; r < 2; ++r) {
        int metrics = free_port();
        start_relay({"-m", std::to_string(metrics)});
        if (r == 0) start_feed(0, 16000, port_);
        for (int k = 0; k < listeners[r]; ++k) {
            ASSERT_TRUE(send_all(connect_relay(), "GET / HTTP/1.0\r\n\r\n"));
        }
        metrics_ports.push_back(metrics);
    }
    int web = free_port();
    std::string config = temp_file(
        "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: relayhub\n"
        "    static_configs:\n      - targets: ['127.0.0.1:" +
        std::to_string(metrics_ports[0]) + "', '127.0.0.1:" + std::to_string(metrics_ports[1]) +
        "']\n");
    std::string storage = temp_file("");
    std::remove(storage.c_str());  // Prometheus makes the folder
    start({PROMETHEUS_BIN, "--config.file=" + config, "--storage.tsdb.path=" + storage,
           "--web.listen-address=127.0.0.1:" + std::to_string(web), "--log.level=warn"});
    std::string up;
    EXPECT_TRUE(wait_for(
        [&] {
            up = query(web, "up");
            return value_for(up, metrics_ports[0]) == "1" && value_for(up, metrics_ports[1]) == "1";
        },
        60000))
        << up;
    std::string counted;
    EXPECT_TRUE(wait_for(
        [&] {
            counted = query(web, "relayhub_listeners");
            return value_for(counted, metrics_ports[0]) == "2" &&
                   value_for(counted, metrics_ports[1]) == "3";
        },
        10000))
        << counted;
    stop(*children_.back());  // Prometheus, before its folder goes
    std::filesystem::remove_all(storage);
}

// A person opens the status page in a real browser, on a phone-sized screen: it shows what the
// metrics show, its script follows three more listeners within 5 s, and it asks nothing of any
// address but the relay's own. Any other host name resolves nowhere, and every request the page
// makes is recorded. The screenshot is left in the build folder for people to look at.
TEST_F(Watching, ABrowserShowsTheStatusPageAndItsScriptFollowsTheRelay) {
    int metrics_port = free_port();
    start_relay({"-m", std::to_string(metrics_port)});
    // Listeners that never read: at 4,000 B/s their sockets take half a minute to fill.
    start_feed(0, 4000, port_);
    auto join = [&](int n) {
        for (int k = 0; k < n; ++k) send_all(connect_relay(), "GET / HTTP/1.0\r\n\r\n");
    };
    join(2);
    ASSERT_TRUE(
        wait_for([&] { return scrape(metrics_port).samples["relayhub_listeners"] == 2; }, 5000));
    std::string profile = temp_file("");
    std::remove(profile.c_str());  // the browser makes the folder
    int ends[2] = {-1, -1};
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, ends));
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // setsid: the browser leads a process group of its own, one it shares with its helpers.
    Child& chromium = *children_.emplace_back(std::make_unique<Child>(start_program_fds(
        {"/bin/sh", "-c", "exec setsid \"$0\" \"$@\" 3<&0 4>&1 </dev/null >/dev/null", CHROMIUM_BIN,
         "--headless", "--disable-gpu", "--no-sandbox", "--remote-debugging-pipe",
         "--user-data-dir=" + profile, "--no-first-run", "--disable-background-networking",
         "--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1", "about:blank"},
        ends[1], ends[1])));
    close(ends[1]);
    browser_.fd = ends[0];
    browser_.group = chromium.pid;
    std::string target =
        field(command(browser_, "Target.createTarget", R"({"url":"about:blank"})"), "targetId");
    ASSERT_FALSE(target.empty()) << stderr_of(chromium);
    browser_.session = field(command(browser_, "Target.attachToTarget",
                                     R"({"targetId":")" + target + R"(","flatten":true})"),
                             "sessionId");
    ASSERT_FALSE(browser_.session.empty());
    for (const char* domain : {"Network.enable", "Log.enable", "Runtime.enable"}) {
        command(browser_, domain);
    }
    command(browser_, "Emulation.setDeviceMetricsOverride",
            R"({"width":412,"height":915,"deviceScaleFactor":2,"mobile":true})");
    const std::string origin = "http://127.0.0.1:" + std::to_string(metrics_port) + "/";
    command(browser_, "Page.navigate", R"({"url":")" + origin + R"("})");
    EXPECT_TRUE(
        wait_for([&] { return evaluate(browser_, "document.readyState") == "complete"; }, 10000));
    auto shown = [&] {
        return evaluate(browser_, "document.getElementById('listeners').textContent");
    };
    EXPECT_EQ("2", shown());
    EXPECT_EQ("live", evaluate(browser_, "document.getElementById('state').textContent"));
    // Three more join; once the metrics count them, the page must within 5 s.
    join(3);
    ASSERT_TRUE(
        wait_for([&] { return scrape(metrics_port).samples["relayhub_listeners"] == 5; }, 5000));
    EXPECT_TRUE(wait_for([&] { return shown() == "5"; }, 5000)) << shown();
    // Refreshes give rates, and the charts lines of a few points each for the screenshot.
    auto points = [&](const char* line) {
        return evaluate(browser_, std::string("document.getElementById('") + line +
                                      "').getAttribute('points').split(' ').length");
    };
    EXPECT_TRUE(wait_for([&] { return std::atoi(points("out-line").c_str()) >= 3; }, 10000))
        << points("out-line");
    EXPECT_NE("", evaluate(browser_, "document.getElementById('out-rate').textContent"));
    std::string png = base64_decode(
        field(command(browser_, "Page.captureScreenshot", R"({"format":"png"})"), "data"));
    EXPECT_EQ(0U, png.rfind("\x89PNG", 0));
    std::ofstream(STATUS_PAGE_SCREENSHOT, std::ios::binary) << png;
    // Every request the page made went to the relay's metrics port, and no style or script of
    // it was refused nor failed.
    std::size_t requests = 0;
    for (const std::string& event : browser_.events) {
        EXPECT_EQ(std::string::npos, event.find("\"source\":\"security\"")) << event;
        EXPECT_EQ(std::string::npos, event.find("Runtime.exceptionThrown")) << event;
        if (event.find("\"method\":\"Network.requestWillBeSent\"") == std::string::npos) continue;
        std::string url = field(event, "url", event.find("\"request\":{"));
        EXPECT_EQ(0U, url.rfind(origin, 0)) << url;
        requests += 1;
    }
    EXPECT_GE(requests, 5U);  // the page, then /metrics and /health at least twice
    EXPECT_TRUE(end_browser()) << "a browser process outlived the test";
    std::filesystem::remove_all(profile);
}

}  // namespace
