// SPDX-License-Identifier: MIT
#pragma once
// A GoogleTest fixture that owns every child process and socket a test starts: TearDown stops
// the children by pid (the clients reconnect for ever, so none ends by itself) and closes the
// sockets.

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "process.h"

class ProcessTest : public testing::Test {
   protected:
    testkit::Child& start(const std::vector<std::string>& argv,
                          testkit::Input input = testkit::Input::NONE,
                          const std::string& input_path = "") {
        children_.push_back(
            std::make_unique<testkit::Child>(testkit::start_program(argv, input, input_path)));
        return *children_.back();
    }

    // Starts relayhub with the given options on a free loopback port and waits until it
    // answers a connect; the probe connection leaves one log line. Returns the child; the port
    // is in port_.
    testkit::Child& start_relay(const std::vector<std::string>& options = {}) {
        port_ = testkit::free_port();
        std::vector<std::string> argv = {RELAYHUB_BIN};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(std::to_string(port_));
        testkit::Child& relay = start(argv);
        int probe = testkit::connect_loopback(port_, 5000);
        EXPECT_GE(probe, 0) << "relayhub did not come up on port " << port_;
        if (probe >= 0) close(probe);
        testkit::wait_for([&] { return testkit::count_of(testkit::stderr_of(relay), "\n") >= 1; },
                          3000);
        return relay;
    }

#ifdef BLOCKFRAME_BIN
    // The producer's side as a user runs it, "blockframe ARGS | feedsend @127.0.0.1 port": two
    // children joined by a fifo, stopped and removed at TearDown.
    void start_feed(const std::vector<std::string>& blockframe_args, int port) {
        std::vector<std::string> producer = {BLOCKFRAME_BIN};
        producer.insert(producer.end(), blockframe_args.begin(), blockframe_args.end());
        std::string fifo;
        for (testkit::Child& c : testkit::start_pipeline(
                 producer, {FEEDSEND_BIN, "@127.0.0.1", std::to_string(port)}, &fifo)) {
            children_.push_back(std::make_unique<testkit::Child>(c));
        }
        files_.push_back(fifo);
    }
#endif

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
        for (auto& child : children_) testkit::stop(*child);
        for (int fd : sockets_) close(fd);
        for (const std::string& f : files_) std::remove(f.c_str());
    }

    int port_ = 0;
    std::vector<std::unique_ptr<testkit::Child>> children_;
    std::vector<int> sockets_;
    std::vector<std::string> files_;
};
