// SPDX-License-Identifier: MIT
#pragma once
// process_figures: what the system knows of the relay's own process (CPU time, memory,
// descriptors), read from /proc/self when a scrape is answered and at no other time, so a
// pass never pays for them.

#include <cstdint>

#include "platform.h"

struct ProcessFigures {
    bool have_stat;  // /proc/self/stat was read: stat is set
    ProcessStat stat;
    bool have_fds;  // /proc/self/fd was listed: open_fds is set
    std::uint64_t open_fds;
    std::uint64_t max_fds;  // the soft limit on open descriptors
};

ProcessFigures read_process_figures();
// The descriptors open in this process now; false when the system does not say.
bool count_open_fds(std::uint64_t* count);
