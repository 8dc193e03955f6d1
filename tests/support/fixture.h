// SPDX-License-Identifier: MIT
#pragma once
// A GoogleTest fixture that owns every child process, socket and crowd a test starts: TearDown
// stops the children by pid (the clients reconnect for ever, so none ends by itself) and closes
// the sockets and the crowds' listeners.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "crowd.h"
#include "pipeline.h"
#include "process.h"
#include "version.h"

// What every program's --version ends with, after its name and a blank.
inline const std::string VERSION_LINE_END = std::string(RELAYHUB_VERSION) + "\n";

class ProcessTest : public testing::Test {
   protected:
    testkit::Child& start(const std::vector<std::string>& argv,
                          testkit::Input input = testkit::Input::NONE,
                          const std::string& input_path = "") {
        children_.push_back(
            std::make_unique<testkit::Child>(testkit::start_program(argv, input, input_path)));
        return *children_.back();
    }

    // Starts relayhub (the program file at path) with the given options on port (0: a free
    // one) and waits until it has accepted, logged and let go its start-up probe. Returns the
    // child; the port is in port_.
    testkit::Child& start_relay(const std::vector<std::string>& options = {}, int port = 0,
                                const std::string& path = RELAYHUB_BIN) {
        testkit::Relay relay;
        EXPECT_TRUE(testkit::start_relay(path, &relay, options, port))
            << "relayhub did not come up on port " << relay.port;
        port_ = relay.port;
        children_.push_back(std::make_unique<testkit::Child>(relay.child));
        return *children_.back();
    }

    // Programs joined by pipes, as a shell joins them with |: the first reads the file
    // input_path (empty: /dev/null), each next one reads the one before, the last writes its
    // output file. Each is stopped at TearDown; an empty list when a pipe could not be made.
    std::vector<testkit::Child*> start_chain(const std::vector<std::vector<std::string>>& programs,
                                             const std::string& input_path = "") {
        std::vector<testkit::Child*> chain;
        int in = input_path.empty() ? -1 : open(input_path.c_str(), O_RDONLY);
        for (std::size_t k = 0; k < programs.size(); ++k) {
            int ends[2] = {-1, -1};
            bool last = k + 1 == programs.size();
            if (!last && pipe(ends) != 0) {
                chain.clear();
                break;
            }
            children_.push_back(std::make_unique<testkit::Child>(
                testkit::start_program_fds(programs[k], in, ends[1])));
            chain.push_back(children_.back().get());
            // Only the two programs a pipe joins hold its ends, so each sees the other's end.
            if (in >= 0) close(in);
            if (!last) close(ends[1]);
            in = ends[0];
        }
        if (in >= 0) close(in);
        return chain;
    }

#ifdef BLOCKFRAME_BIN
    // The producer's side as a user runs it, `blockframe -t [-s payload] -r rate | feedsend
    // @127.0.0.1 port` (payload 0: blockframe's default), stopped at TearDown.
    void start_feed(std::uint32_t payload, std::uint64_t rate, int port) {
        testkit::Pipeline p;
        EXPECT_TRUE(
            testkit::start_pipeline({BLOCKFRAME_BIN, FEEDSEND_BIN, payload, rate}, port, &p));
        children_.push_back(std::make_unique<testkit::Child>(p.blockframe));
        children_.push_back(std::make_unique<testkit::Child>(p.feedsend));
    }
#endif

    // n listeners of the relay at port (0: port_), joining now; closed at TearDown.
    testkit::Crowd& listeners(std::size_t n, int port = 0) {
        crowds_.push_back(
            std::make_unique<testkit::Crowd>(testkit::new_crowd(port != 0 ? port : port_, n)));
        for (std::size_t k = 0; k < n; ++k) testkit::crowd_join(crowds_.back().get(), k);
        return *crowds_.back();
    }

    // A socket the fixture closes at TearDown.
    int own(int fd) {
        if (fd >= 0) sockets_.push_back(fd);
        return fd;
    }
    int connect_relay() { return own(testkit::connect_loopback(port_)); }
    std::string temp_file(const std::string& contents) {
        files_.push_back(testkit::make_temp_file(contents));
        return files_.back();
    }

    void TearDown() override {
        for (auto& crowd : crowds_) testkit::crowd_end(crowd.get());
        for (auto& child : children_) testkit::stop(*child);
        for (int fd : sockets_) close(fd);
        for (const std::string& f : files_) std::remove(f.c_str());
    }

    int port_ = 0;
    std::vector<std::unique_ptr<testkit::Child>> children_;
    std::vector<std::unique_ptr<testkit::Crowd>> crowds_;
    std::vector<int> sockets_;
    std::vector<std::string> files_;
};
