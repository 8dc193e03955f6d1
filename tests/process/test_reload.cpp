// SPDX-License-Identifier: MIT
// The relay reloaded in place (SIGUSR2) under a paced source and a crowd of listeners: every
// listener's stream goes on whole across the reloads, and every way a reload can fail leaves a
// relay that serves.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "fixture.h"
#include "scrape.h"
#include "wire.h"

using namespace testkit;

namespace {

const std::string REQUEST = "GET / HTTP/1.0\r\n\r\n";

class Reload : public ProcessTest {
   protected:
    // Pumps the crowd until every listener has had a block, or 10 s.
    bool all_served(Crowd& crowd) {
        auto served = [&] {
            for (const Listener& l : crowd.listeners) {
                if (l.check.blocks == 0) return false;
            }
            return true;
        };
        for (int k = 0; k < 100 && !served(); ++k) crowd_pump(&crowd, 100);
        return served();
    }
    // The newest whole block of every listener, the lowest of them.
    static std::uint64_t slowest(const Crowd& crowd) {
        std::uint64_t lowest = UINT64_MAX;
        for (const Listener& l : crowd.listeners) lowest = std::min(lowest, l.check.last_sequence);
        return lowest;
    }
};

// 200 listeners of a paced source, a connection halfway through its request, five reloads a
// second apart and then a storm of signals: no listener misses, repeats or splices a block, the
// source keeps its one connection, the half request is answered once it ends, and the
// counters go on.
TEST_F(Reload, FiveReloadsUnderACrowdCostNoListenerAByte) {
    int metrics_port = free_port();
    Child& relay = start_relay({"-m", std::to_string(metrics_port)});
    start_feed(1000, 16000, port_);
    Child& feedsend = *children_.back();
    Crowd& crowd = listeners(200);
    ASSERT_TRUE(all_served(crowd)) << "not every listener got a block within 10 s";
    int half = connect_relay();
    ASSERT_TRUE(send_all(half, "GET / HTTP/1.0\r\nHost: relay"));
    crowd_pump(&crowd, 200);
    Scrape before = scrape(metrics_port);
    for (int k = 0; k < 5; ++k) {
        ASSERT_EQ(0, kill(relay.pid, SIGUSR2));
        crowd_pump(&crowd, 1000);
    }
    ASSERT_TRUE(send_all(half, "\r\n\r\n"));
    EXPECT_EQ(HEADER, recv_for(half, HEADER.size(), 3000)) << "the half request went unanswered";
    std::uint64_t at_last_reload = slowest(crowd);
    crowd_pump(&crowd, 1500);
    EXPECT_GT(slowest(crowd), at_last_reload) << "a listener got nothing after the reloads";
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        EXPECT_TRUE(is_open(l)) << "listener " << k << " was dropped";
        EXPECT_EQ("", stream_faults(l)) << "listener " << k;
    }
    EXPECT_FALSE(has_exited(relay));
    EXPECT_EQ(1U, count_of(stderr_of(feedsend), "Connecting")) << "the source reconnected";
    Scrape after;
    EXPECT_TRUE(wait_for(
        [&] {
            after = scrape(metrics_port);
            return after.samples["relayhub_reloads_total"] == 5;
        },
        5000))
        << after.body;
    EXPECT_EQ(201, after.samples["relayhub_listeners"]);
    EXPECT_EQ(before.samples["relayhub_connections_accepted_total"],
              after.samples["relayhub_connections_accepted_total"]);
    EXPECT_EQ(before.samples["process_start_time_seconds"],
              after.samples["process_start_time_seconds"]);
    EXPECT_GT(after.samples["relayhub_listener_bytes_total"],
              before.samples["relayhub_listener_bytes_total"]);
    // A storm: 100 signals within a second reload at most once a pass, and cost nothing either.
    for (int k = 0; k < 100; ++k) {
        kill(relay.pid, SIGUSR2);
        crowd_pump(&crowd, 10);
    }
    crowd_pump(&crowd, 1500);
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        EXPECT_TRUE(is_open(crowd.listeners[k])) << "listener " << k << " was dropped";
        EXPECT_EQ("", stream_faults(crowd.listeners[k])) << "listener " << k;
    }
    Scrape stormed = scrape(metrics_port);
    EXPECT_GT(stormed.samples["relayhub_reloads_total"], 5) << stormed.body;
    EXPECT_LE(stormed.samples["relayhub_reloads_total"], 105) << stormed.body;
    EXPECT_EQ(201, stormed.samples["relayhub_listeners"]);
}

// What a reload runs is the program file the relay was started from, as it is now on disk.
// Each row changes that file first, as an upgrade, a removal or a broken build would.
struct ProgramFileCase {
    const char* name;
    // Changes the file at path, a copy of the relay; `real` is the relay's own build.
    void (*change)(const std::string& path, const std::string& real);
    const char* version;  // the build info's version after the reload
    double reloads;       // relayhub_reloads_total after it
    const char* line;     // in the relay's standard error
    bool listeners_kept;  // or cut, to reconnect
};
void PrintTo(const ProgramFileCase& c, std::ostream* os) { *os << c.name; }

// The version the other build reports: the relay's, every digit made 9 (8 where it was 9).
std::string other_version() {
    std::string v = RELAYHUB_VERSION;
    for (char& c : v) {
        if (c >= '0' && c <= '9') c = c == '9' ? '8' : '9';
    }
    return v;
}

// Puts a new file in place of path as a package upgrade does: written beside it, then renamed.
void replace_file(const std::string& path, const std::string& contents) {
    std::string next = path + ".new";
    FILE* f = std::fopen(next.c_str(), "wb");
    std::fwrite(contents.data(), 1, contents.size(), f);
    std::fclose(f);
    chmod(next.c_str(), 0755);
    std::rename(next.c_str(), path.c_str());
}

const ProgramFileCase PROGRAM_FILE_CASES[] = {
    {"another build, reporting another version",
     [](const std::string& path, const std::string& real) {
         // The relay's own build with its version text changed, the same length.
         std::string program = read_file(real);
         const std::string version = RELAYHUB_VERSION;
         for (std::size_t at = program.find(version); at != std::string::npos;
              at = program.find(version, at + 1)) {
             program.replace(at, version.size(), other_version());
         }
         replace_file(path, program);
     },
     "other", 1, "", true},
    {"the file removed", [](const std::string& path, const std::string&) { unlink(path.c_str()); },
     RELAYHUB_VERSION, 0, "relayhub: reload failed, errno=2; this program serves on\n", true},
    {"a program that hands on a state of another format version",
     [](const std::string& path, const std::string& real) {
         // A header of format version 2 in place of the image, then the relay's own build.
         replace_file(path,
                      "#!/bin/bash\n"
                      "printf 'RHHS\\002\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0\\0' "
                      ">\"$0.image\"\n"
                      "eval \"exec $RELAYHUB_HANDOVER_FD<\\\"\\$0.image\\\"\"\n"
                      "exec " +
                          real + " \"$@\"\n");
     },
     RELAYHUB_VERSION, 0, "relayhub: reload: state not taken (another format version)", false},
};

class ReloadProgramFile : public Reload, public testing::WithParamInterface<ProgramFileCase> {};

TEST_P(ReloadProgramFile, LeavesARelayThatServesWhateverTheFileHolds) {
    const ProgramFileCase& c = GetParam();
    std::string folder = temp_file("");
    std::remove(folder.c_str());
    std::filesystem::create_directory(folder);
    std::string path = folder + "/relayhub";
    std::filesystem::copy_file(RELAYHUB_BIN, path);
    int metrics_port = free_port();
    Child& relay = start_relay({"-m", std::to_string(metrics_port)}, 0, path);
    start_feed(1000, 16000, port_);
    Crowd& crowd = listeners(20);
    ASSERT_TRUE(all_served(crowd));
    c.change(path, RELAYHUB_BIN);
    std::uint64_t at_signal = 0;
    for (const Listener& l : crowd.listeners) {
        at_signal = std::max(at_signal, l.check.last_sequence);
    }
    ASSERT_EQ(0, kill(relay.pid, SIGUSR2));
    Scrape s;
    EXPECT_TRUE(wait_for(
        [&] {
            crowd_pump(&crowd, 100);
            s = scrape(metrics_port);
            return s.samples["relayhub_reloads_total"] == c.reloads &&
                   stderr_of(relay).find(c.line) != std::string::npos;
        },
        5000))
        << s.body << stderr_of(relay);
    std::string version = std::string(c.version) == "other" ? other_version() : c.version;
    EXPECT_EQ(1, s.samples["relayhub_build_info{version=\"" + version + "\"}"]) << s.body;
    // Cut listeners reconnect, as players do, through the listening socket that was kept.
    for (std::size_t k = 0; k < 20; ++k) {
        if (!is_open(crowd.listeners[k])) crowd_join(&crowd, crowd_add(&crowd));
    }
    // Every open listener gets blocks sent after the reload; a cut source comes back after
    // feedsend's 5-second pause.
    EXPECT_TRUE(wait_for(
        [&] {
            crowd_pump(&crowd, 100);
            for (const Listener& l : crowd.listeners) {
                if (is_open(l) && l.check.last_sequence < at_signal + 3) return false;
            }
            return true;
        },
        10000))
        << "a listener got no stream after the reload";
    for (std::size_t k = 0; k < crowd.listeners.size(); ++k) {
        const Listener& l = crowd.listeners[k];
        EXPECT_EQ(c.listeners_kept || k >= 20, is_open(l)) << "listener " << k;
        EXPECT_EQ("", stream_faults(l)) << "listener " << k;
    }
    EXPECT_FALSE(has_exited(relay));
    stop(relay);
    std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Files, ReloadProgramFile, testing::ValuesIn(PROGRAM_FILE_CASES));

}  // namespace
