// SPDX-License-Identifier: MIT
// An operator's Prometheus, started on loopback, scraping two relays' metrics ports.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fixture.h"

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

class Watching : public ProcessTest {};

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

}  // namespace
