// SPDX-License-Identifier: MIT
#pragma once
// process: the harness the tests and the benchmark share. Runs the real programs with their
// output captured, waits with deadlines, reads what /proc says of a process, opens loopback
// sockets, and stops every child by its pid.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "blocks.h"

namespace testkit {

// A port on 127.0.0.1 that was free a moment ago (bound to 0, read back, closed).
int free_port();

struct Child {
    pid_t pid = -1;
    std::string out_path;  // the child's standard output
    std::string err_path;  // the child's standard error
    int input_fd = -1;     // write end of the child's standard input, when it reads a pipe
    bool reaped = false;
    int status = 0;  // waitpid status once reaped
};

enum class Input { NONE, PIPE, FILE };

// Starts argv[0] with argv; standard output and error go to fresh files. Input::NONE gives it
// /dev/null, Input::PIPE a pipe whose write end is input_fd, Input::FILE the file input_path.
// Only the three standard descriptors reach the program, so descriptor counts are its own.
// The child is killed when the thread that started it ends, in any way, even one that skips
// the clean-up (a signal, a CTest timeout), so no relay or client outlives a test or a run of
// the benchmark; start children from the thread that outlives them.
Child start_program(const std::vector<std::string>& argv, Input input = Input::NONE,
                    const std::string& input_path = "");
// The same with standard input from in_fd and standard output into out_fd, descriptors the
// caller keeps and closes (a pipe's ends); -1 gives /dev/null and a fresh file.
Child start_program_fds(const std::vector<std::string>& argv, int in_fd, int out_fd);
// SIGKILL by pid and reap; closes the input pipe and removes the output files.
void stop(Child& child);
// True once the child has ended (reaped); its status is then in child.status.
bool has_exited(Child& child);
// Waits up to timeout_ms for the child to end; its exit code, or -1 if it did not end normally.
int wait_exit(Child& child, int timeout_ms);

std::string read_file(const std::string& path);
std::string stdout_of(const Child& child);
std::string stderr_of(const Child& child);
std::string make_temp_file(const std::string& contents);

// For pauses that are part of what a test does (letting passes go by), not for waiting on a
// condition: that is wait_for's.
void sleep_for_ms(int ms);
// Polls condition every 10 ms until it holds (true) or timeout_ms passes (false).
bool wait_for(const std::function<bool()>& condition, int timeout_ms);
// Open descriptors of a process, from /proc/PID/fd; -1 when it cannot be read.
int open_fd_count(pid_t pid);
// Descriptors a relay holds with no connection: the three standard ones, its readiness
// descriptor and its listening socket (one more with -m, for the metrics socket).
constexpr int RELAY_IDLE_FDS = 5;
// A KiB figure of /proc/PID/status, such as "VmRSS" (resident now) or "VmHWM" (its peak);
// -1 when unknown.
long status_kib(pid_t pid, const std::string& field);
inline long resident_kib(pid_t pid) { return status_kib(pid, "VmRSS"); }
// Number of times needle occurs in text.
std::size_t count_of(const std::string& text, const std::string& needle);

// A blocking TCP connection to 127.0.0.1:port, or -1 when none stands within timeout_ms.
int connect_loopback(int port, int timeout_ms = 3000);
// The same from the loopback address `from` to the loopback address `to` (Linux answers the
// whole of 127.0.0.0/8), so a test can play peers at several addresses.
int connect_between(const char* from, const char* to, int port, int timeout_ms = 3000);
// The local port of a socket: how its peer sees it, and /proc/net/tcp shows it; 0 if unknown.
int local_port(int fd);
// A listening socket on 127.0.0.1 at a system-chosen port, written to *port.
int listen_loopback(int* port);
// Accepts one connection within timeout_ms, or -1.
int accept_within(int listen_fd, int timeout_ms);
bool send_all(int fd, const std::string& bytes);
// A non-blocking connect to 127.0.0.1:port begun (or already done), from the loopback address
// `from`: the socket, or -1.
int connect_nonblocking(int port, const char* from = "127.0.0.1");
// Reads until want bytes arrived, the peer closed, or timeout_ms passed; returns what arrived.
std::string recv_for(int fd, std::size_t want, int timeout_ms);

// True when the peer has closed the connection (or reset it) within timeout_ms, discarding
// whatever arrives before that.
bool wait_closed(int fd, int timeout_ms);

// Processor time a process has used so far, user and system together, in seconds, from
// /proc/PID/stat; -1 when it cannot be read.
double cpu_seconds(pid_t pid);

}  // namespace testkit
