// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "readiness.h"

namespace {

// A socket pair's two ends and a regular file, watched (or not) by one readiness record. The
// system refuses to watch a regular file, and a readiness opened while no descriptor can be had
// gets no descriptor of its own: both must leave a socket read at every pass, never skipped.
struct Watched {
    int quiet;    // a socket nothing was sent to
    int written;  // a socket with bytes waiting
    int file;     // a regular file
};

Watched open_watched(Readiness& r) {
    int pair[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    Watched w{pair[0], pair[1], open("/proc/self/stat", O_RDONLY)};
    for (int fd : {w.quiet, w.written, w.file}) readiness_watch(r, fd);
    readiness_wait(r);  // takes the marks every new socket starts with
    for (int fd : {w.quiet, w.written, w.file}) readiness_was_ready(r, fd);
    EXPECT_EQ(1, write(pair[0], "x", 1));  // to `written`: pair[0]'s peer
    return w;
}

struct ReadinessCase {
    const char* name;
    bool no_descriptor;    // opened while the process may open no more descriptors
    std::uint32_t budget;  // descriptors at or above it have no mark
    bool quiet_ready, written_ready, file_ready;
};
void PrintTo(const ReadinessCase& c, std::ostream* os) { *os << c.name; }

const ReadinessCase CASES[] = {
    {"the system watches", false, 1024, false, true, true},
    {"no readiness descriptor: all read", true, 1024, true, true, true},
    {"beyond the budget: all read", false, 3, true, true, true},
};

class Readiness_ : public testing::TestWithParam<ReadinessCase> {};

TEST_P(Readiness_, MarksWhatHasBytesAndReadsEverythingItCannotWatch) {
    Readiness r{};
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (GetParam().no_descriptor) {
        rlimit none{0, limit.rlim_max};
        setrlimit(RLIMIT_NOFILE, &none);
    }
    bool opened = readiness_open(r, GetParam().budget);
    setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_TRUE(opened);
    EXPECT_EQ(GetParam().no_descriptor, r.poll_fd < 0);
    Watched w = open_watched(r);
    for (int pass = 0; pass < 2; ++pass) {  // level-triggered: still marked at the next pass
        readiness_wait(r);
        EXPECT_EQ(GetParam().quiet_ready, readiness_was_ready(r, w.quiet)) << pass;
        EXPECT_EQ(GetParam().written_ready, readiness_was_ready(r, w.written)) << pass;
        EXPECT_EQ(GetParam().file_ready, readiness_was_ready(r, w.file)) << pass;
    }
    // A mark is taken once: asked again in the same pass, a watched socket says no.
    if (!GetParam().quiet_ready) {
        EXPECT_FALSE(readiness_was_ready(r, w.written));
    }
    for (int fd : {w.quiet, w.written, w.file}) {
        readiness_forget(r, fd);
        close(fd);
    }
    readiness_close(r);
}

INSTANTIATE_TEST_SUITE_P(Cases, Readiness_, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<ReadinessCase>& c) {
                             return std::to_string(c.index);
                         });

}  // namespace
