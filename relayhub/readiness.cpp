// SPDX-License-Identifier: MIT
#include "readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

Readiness relay_readiness;  // the relay's, opened by main before the loop

// A descriptor's mark. Marks are kept per descriptor number, since records move in the table
// and descriptors do not.
enum ReadyMark : std::uint8_t {
    UNMARKED = 0,
    MARKED = 1,     // has something to read in this pass; cleared when taken
    UNWATCHED = 2,  // the system would not watch it: ready at every pass
};

bool has_mark(const Readiness& r, int fd) {
    return fd >= 0 && static_cast<std::uint32_t>(fd) < r.budget;
}

}  // namespace

bool readiness_open(Readiness& r, std::uint32_t budget) {
    r = Readiness{-1, nullptr, nullptr, 0, false};
    // calloc: zero pages are mapped as they are first touched, so a large budget costs memory
    // only for the descriptors in use.
    r.marks = static_cast<std::uint8_t*>(std::calloc(budget, 1));
    r.events = static_cast<epoll_event*>(std::calloc(budget, sizeof(epoll_event)));
    if (r.marks == nullptr || r.events == nullptr) {
        readiness_close(r);
        errno = ENOMEM;
        return false;
    }
    r.budget = budget;
    r.poll_fd = epoll_create1(EPOLL_CLOEXEC);  // -1: the fallback, read everything
    return true;
}

void readiness_close(Readiness& r) {
    if (r.poll_fd >= 0) close(r.poll_fd);
    std::free(r.marks);
    std::free(r.events);
    r = Readiness{-1, nullptr, nullptr, 0, false};
}

void readiness_watch(Readiness& r, int fd) {
    if (!has_mark(r, fd)) return;  // read at every pass
    // Level-triggered EPOLLIN: bytes, a peer's close (a read of 0) and, always reported, an
    // error or hang-up.
    epoll_event watch{};
    watch.events = EPOLLIN;
    watch.data.fd = fd;
    bool watched = r.poll_fd >= 0 && epoll_ctl(r.poll_fd, EPOLL_CTL_ADD, fd, &watch) == 0;
    r.marks[fd] = watched ? MARKED : UNWATCHED;
}

void readiness_forget(Readiness& r, int fd) {
    if (has_mark(r, fd)) r.marks[fd] = UNMARKED;
}

void readiness_wait(Readiness& r) {
    if (r.poll_fd < 0) return;
    int n = epoll_wait(r.poll_fd, r.events, static_cast<int>(r.budget), 0);
    r.unknown = n < 0;
    for (int k = 0; k < n; ++k) {
        int fd = r.events[k].data.fd;
        if (has_mark(r, fd) && r.marks[fd] == UNMARKED) r.marks[fd] = MARKED;
    }
}

bool readiness_was_ready(Readiness& r, int fd) {
    if (!has_mark(r, fd) || r.poll_fd < 0 || r.unknown) return true;
    if (r.marks[fd] == UNWATCHED) return true;
    bool ready = r.marks[fd] == MARKED;
    r.marks[fd] = UNMARKED;
    return ready;
}

bool open_readiness(std::uint32_t budget) { return readiness_open(relay_readiness, budget); }
void watch_socket(int fd) { readiness_watch(relay_readiness, fd); }
void forget_socket(int fd) { readiness_forget(relay_readiness, fd); }
void wait_for_ready() { readiness_wait(relay_readiness); }
bool was_ready(int fd) { return readiness_was_ready(relay_readiness, fd); }
