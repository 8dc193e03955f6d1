// SPDX-License-Identifier: MIT
#pragma once
// platform: thin wrappers over the POSIX calls every program makes the same way, so that the
// server's and the clients' loops read alike. No state, no allocation.

#include <cstdint>

// The calling thread's errno, unchanged. Meaningful only directly after a call that failed.
int last_error();

// close(fd); a failing close is not reported.
void close_fd(int fd);

// Suspends the thread for milliseconds (0 to 2147483). Sleeps the full time also for a second
// or more and across signals, which a bare usleep does not promise.
void sleep_ms(int milliseconds);

// Wall-clock milliseconds since the epoch, cut to 32 bits. Only differences mean anything, taken
// as unsigned 32-bit values so that they stay right across the wrap every 49.7 days.
std::uint32_t clock_ms();

// Milliseconds of the monotonic clock, cut to 32 bits: the time limits of the server read it,
// since the wall clock may be set back or forward while it runs. Only differences mean
// anything, taken as unsigned 32-bit values.
std::uint32_t monotonic_ms();

// Suspends the thread until monotonic_ms() would read deadline_ms, across signals too; returns
// at once when that moment has come or passed. A deadline counts as passed when it lies up to
// 2^31 ms (24.8 days) behind the clock, as ahead when it lies less than that in front.
void sleep_until_ms(std::uint32_t deadline_ms);

// A process's CPU time and memory, as its /proc/PID/stat file gives them.
struct ProcessStat {
    double cpu_seconds;  // user and system time
    std::uint64_t virtual_bytes;
    std::uint64_t resident_bytes;
};
// Reads the stat file at path ("/proc/self/stat", "/proc/1234/stat"); false when it cannot be
// read or is not one.
bool read_process_stat(const char* path, ProcessStat* stat);
