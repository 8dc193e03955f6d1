// SPDX-License-Identifier: MIT
#include "platform.h"

#include <errno.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

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
