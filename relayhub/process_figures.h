// SPDX-License-Identifier: MIT
#pragma once
// process_figures: what the system knows of the relay's own process (CPU time, memory,
// descriptors), read from /proc/self when a scrape is answered and at no other time, so a
// pass never pays for them.

#include <cstdint>

struct ProcessFigures {
    bool have_stat;      // /proc/self/stat was read: the next three are set
    double cpu_seconds;  // user and system time
    std::uint64_t resident_bytes;
    std::uint64_t virtual_bytes;
    bool have_fds;  // /proc/self/fd was listed: open_fds is set
    std::uint64_t open_fds;
    std::uint64_t max_fds;  // the soft limit on open descriptors
};

ProcessFigures read_process_figures();
