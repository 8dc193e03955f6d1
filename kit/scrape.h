// SPDX-License-Identifier: MIT
#pragma once
// A scrape of a relay's metrics port as an operator's tools make it, and the answer's
// exposition text read back into samples and types.

#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

#include "process.h"

namespace testkit {

struct Scrape {
    std::string status;                        // the status line, without CR LF
    std::string headers;                       // the header lines after it, each with its CR LF
    std::string body;                          // what follows the empty line
    std::map<std::string, double> samples;     // "name" or "name{labels}" -> value
    std::map<std::string, std::string> types;  // name -> its # TYPE
    std::map<std::string, std::string> helps;  // name -> its # HELP
};

// A whole answer of the metrics port, status line to the relay's close, read into its parts:
// empty ones when it has no status line and head.
inline Scrape parse_scrape(const std::string& answer) {
    Scrape s;
    std::size_t line_end = answer.find("\r\n");
    std::size_t head_end = answer.find("\r\n\r\n");
    if (line_end == std::string::npos || head_end == std::string::npos) return s;
    s.status = answer.substr(0, line_end);
    s.headers = answer.substr(line_end + 2, head_end + 2 - (line_end + 2));
    s.body = answer.substr(head_end + 4);
    std::istringstream lines(s.body);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first, name, rest;
        words >> first;
        if (first == "#") {
            std::string kind;
            words >> kind >> name;
            std::getline(words, rest);
            if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
            (kind == "TYPE" ? s.types : s.helps)[name] = rest;
        } else if (!first.empty()) {
            double value = 0;
            words >> value;
            s.samples[first] = value;
        }
    }
    return s;
}

// Connects to 127.0.0.1:port, asks for path and reads the answer until the relay closes.
inline Scrape scrape(int port, const std::string& path = "/metrics") {
    int fd = connect_loopback(port, 3000);
    if (fd < 0) return Scrape{};
    send_all(fd, "GET " + path + " HTTP/1.0\r\n\r\n");
    std::string answer = recv_for(fd, 1 << 20, 3000);
    close(fd);
    return parse_scrape(answer);
}

}  // namespace testkit
