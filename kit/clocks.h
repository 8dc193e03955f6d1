// SPDX-License-Identifier: MIT
#pragma once
// clocks: the two clocks the tests and the benchmark read. Durations they measure themselves
// are taken on the monotonic clock; ages of stream blocks on the wall clock, since that is what
// a block's send time (payload bytes 8..15, stamped by the source) was read from.

#include <time.h>

#include <cstdint>

namespace testkit {

constexpr std::int64_t NS_PER_MS = 1000000;
constexpr std::int64_t NS_PER_SECOND = 1000000000;

inline std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * NS_PER_SECOND + t.tv_nsec;
}

inline std::int64_t wall_ns() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * NS_PER_SECOND + t.tv_nsec;
}

inline std::int64_t seconds_to_ns(double seconds) {
    return static_cast<std::int64_t>(seconds * static_cast<double>(NS_PER_SECOND));
}

inline double ns_to_ms(std::int64_t ns) { return static_cast<double>(ns) / 1e6; }
inline double ns_to_seconds(std::int64_t ns) { return static_cast<double>(ns) / 1e9; }

}  // namespace testkit
