// SPDX-License-Identifier: MIT
#pragma once
// readiness: which of the relay's sockets have something to read in this pass. One wait that
// does not wait, at the start of the pass, marks every watched socket with bytes, a closed peer
// or an error; the table, the metrics port and the poll loop then ask "was this one ready"
// instead of making a read that would only say EAGAIN. Only this module knows how the system
// is asked. Level-triggered: a socket is marked again at every pass while anything is left
// unread, so a step that reads only part of what waits loses nothing.
//
// Whatever the system will not do is made up for by reading more, never less: a socket it
// refuses to watch, a descriptor beyond the budget, a wait that failed, or no readiness at all
// (the system gave no descriptor for it) all count as ready at every pass, as every socket was
// read before readiness was asked.

#include <cstdint>

struct epoll_event;

// One readiness record: the relay has one (below); a test may open its own.
struct Readiness {
    int poll_fd;          // the system's readiness descriptor; -1 when it gave none
    epoll_event* events;  // where one wait's answers land, one per descriptor of the budget
    std::uint8_t* marks;  // one per descriptor number below budget
    std::uint32_t budget;
    bool unknown;  // the last wait failed: nothing is known of this pass
};

// Opens r for descriptors below budget (the most the process may hold). False with errno set
// only when the memory for the marks cannot be had; a system that gives no readiness
// descriptor leaves r open in the fallback, every socket ready at every pass.
bool readiness_open(Readiness& r, std::uint32_t budget);
// Gives r's memory and descriptor back; r is then as zeroed.
void readiness_close(Readiness& r);
// Watches fd from now on. It counts as ready at once, so a new socket is read in the pass that
// added it.
void readiness_watch(Readiness& r, int fd);
// Stops watching fd, just before it is closed (closing it takes it out of the system's set).
void readiness_forget(Readiness& r, int fd);
// The pass's one wait, which never blocks.
void readiness_wait(Readiness& r);
// Whether fd was marked in this pass's wait; clears the mark, so a second ask in the same pass
// says no.
bool readiness_was_ready(Readiness& r, int fd);

// The relay's own readiness, opened once in main.
bool open_readiness(std::uint32_t budget);
void watch_socket(int fd);
void forget_socket(int fd);
void wait_for_ready();
bool was_ready(int fd);
