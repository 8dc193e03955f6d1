// SPDX-License-Identifier: MIT
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// The fields of a stat line (text, length bytes) that ProcessStat holds, with clock_ticks and
// page_bytes to convert them; false when the line is not one.
bool parse_stat_line(const char* text, std::size_t length, long clock_ticks, long page_bytes,
                     ProcessStat* figures) {
    // The command name, field 2, is in parentheses and may itself hold spaces and ")": the
    // fields that follow begin after the last ")". Field 3 (the state) comes first there.
    const char* end = text + length;
    const char* p = end;
    while (p > text && p[-1] != ')') --p;
    if (p == text || clock_ticks <= 0 || page_bytes <= 0) return false;
    unsigned long long fields[22] = {};  // fields 3 to 24; the state, a letter, reads as 0
    for (int field = 3; field <= 24; ++field) {
        while (p < end && *p == ' ') ++p;
        if (p == end) return false;
        char* next = nullptr;
        fields[field - 3] = field == 3 ? 0 : std::strtoull(p, &next, 10);
        if (field == 3) next = const_cast<char*>(p) + 1;
        if (next == p) return false;
        p = next;
    }
    // utime 14, stime 15 (clock ticks), vsize 23 (bytes), rss 24 (pages)
    figures->cpu_seconds =
        static_cast<double>(fields[14 - 3] + fields[15 - 3]) / static_cast<double>(clock_ticks);
    figures->virtual_bytes = fields[23 - 3];
    figures->resident_bytes = fields[24 - 3] * static_cast<unsigned long long>(page_bytes);
    return true;
}

}  // namespace

int last_error() { return errno; }

void close_fd(int fd) { close(fd); }

void sleep_ms(int milliseconds) {
    // nanosleep takes any count and reports what is left when a signal cuts it short, so a
    // 5-second pause stays 5 seconds.
    timespec left{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

std::uint32_t clock_ms() {
    timeval now{};
    gettimeofday(&now, nullptr);
    // Computed in 64 bits and cut to 32: the same value modulo 2^32 as a wrapping 32-bit sum.
    std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                       static_cast<std::uint64_t>(now.tv_usec) / 1000U;
    return static_cast<std::uint32_t>(ms);
}

std::uint32_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                       static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
    return static_cast<std::uint32_t>(ms);
}

void sleep_until_ms(std::uint32_t deadline_ms) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t now_ms = static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000U;
    // Signed: the cut 32-bit difference tells a deadline in front from one that has passed.
    auto ahead = static_cast<std::int32_t>(deadline_ms - static_cast<std::uint32_t>(now_ms));
    if (ahead <= 0) return;
    // An absolute time on the same clock: a sleep cut short by a signal is resumed to the same
    // moment, and the wake-up does not drift by the time spent reaching the call.
    std::uint64_t at_ms = now_ms + static_cast<std::uint64_t>(ahead);
    timespec at{static_cast<time_t>(at_ms / 1000U), static_cast<long>(at_ms % 1000U) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

bool read_process_stat(const char* path, ProcessStat* stat) {
    char line[1024];  // a stat line is far shorter than this
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, line, sizeof line - 1);
    close(fd);
    if (n > 0) line[n] = '\0';  // strtoull stops there at the latest
    return n > 0 && parse_stat_line(line, static_cast<std::size_t>(n), sysconf(_SC_CLK_TCK),
                                    sysconf(_SC_PAGESIZE), stat);
}
