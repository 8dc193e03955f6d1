// SPDX-License-Identifier: MIT
#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform.h"

namespace testkit {
namespace {

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string temp_path() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir != nullptr ? dir : "/tmp") + "/relayhub-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd >= 0) close(fd);
    return std::string(name.data());
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

}  // namespace

int free_port() {
    int port = 0;
    int fd = listen_loopback(&port);
    close(fd);
    return port;
}

Child start_program_fds(const std::vector<std::string>& argv, int in_fd, int out_fd) {
    Child child;
    child.out_path = temp_path();
    child.err_path = temp_path();
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the parent ended before prctl took effect
        int in = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY);
        int out = out_fd >= 0 ? out_fd : open(child.out_path.c_str(), O_WRONLY | O_TRUNC);
        int err = open(child.err_path.c_str(), O_WRONLY | O_TRUNC);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    child.pid = pid;  // -1 when fork failed: stop() then only removes the files
    return child;
}

Child start_program(const std::vector<std::string>& argv, Input input,
                    const std::string& input_path) {
    int pipe_fds[2] = {-1, -1};
    if (input == Input::PIPE && pipe(pipe_fds) != 0) return Child{};
    int in = pipe_fds[0];
    if (input == Input::FILE) in = open(input_path.c_str(), O_RDONLY);
    Child child = start_program_fds(argv, in, -1);
    if (in >= 0) close(in);
    child.input_fd = pipe_fds[1];  // the child closed its copy with every other descriptor
    return child;
}

bool has_exited(Child& child) {
    if (child.reaped) return true;
    if (child.pid <= 0) return true;
    int status = 0;
    if (waitpid(child.pid, &status, WNOHANG) == child.pid) {
        child.reaped = true;
        child.status = status;
    }
    return child.reaped;
}

int wait_exit(Child& child, int timeout_ms) {
    if (!wait_for([&] { return has_exited(child); }, timeout_ms)) return -1;
    return WIFEXITED(child.status) ? WEXITSTATUS(child.status) : -1;
}

void stop(Child& child) {
    if (child.input_fd >= 0) {
        close(child.input_fd);
        child.input_fd = -1;
    }
    if (child.pid > 0 && !has_exited(child)) {
        kill(child.pid, SIGKILL);
        int status = 0;
        waitpid(child.pid, &status, 0);
        child.reaped = true;
        child.status = status;
    }
    std::remove(child.out_path.c_str());
    std::remove(child.err_path.c_str());
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string stdout_of(const Child& child) { return read_file(child.out_path); }
std::string stderr_of(const Child& child) { return read_file(child.err_path); }

std::string make_temp_file(const std::string& contents) {
    std::string path = temp_path();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    return path;
}

void sleep_for_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool wait_for(const std::function<bool()>& condition, int timeout_ms) {
    std::int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        if (condition()) return true;
        if (now_ms() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int open_fd_count(pid_t pid) {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec);
    if (ec) return -1;
    int n = 0;
    for (const auto& entry : it) {
        (void)entry;
        ++n;
    }
    return n;
}

long status_kib(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = field + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

int connect_loopback(int port, int timeout_ms) {
    return connect_between("127.0.0.1", "127.0.0.1", port, timeout_ms);
}

int connect_between(const char* from, const char* to, int port, int timeout_ms) {
    std::int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in a = loopback(port);
        inet_pton(AF_INET, to, &a.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            return fd;
        }
        close(fd);
        if (now_ms() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int connect_nonblocking(int port, const char* from) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in a = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

int listen_loopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 64);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int accept_within(int listen_fd, int timeout_ms) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return -1;
    return accept(listen_fd, nullptr, nullptr);
}

bool send_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string recv_for(int fd, std::size_t want, int timeout_ms) {
    std::string got;
    std::int64_t deadline = now_ms() + timeout_ms;
    char buf[65536];
    while (got.size() < want) {
        std::int64_t left = deadline - now_ms();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        std::size_t room = std::min(sizeof buf, want - got.size());
        ssize_t n = recv(fd, buf, room, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

bool wait_closed(int fd, int timeout_ms) {
    std::int64_t deadline = now_ms() + timeout_ms;
    char buf[65536];
    for (;;) {
        std::int64_t left = std::max<std::int64_t>(0, deadline - now_ms());
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        if (recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) return true;
    }
}

double cpu_seconds(pid_t pid) {
    ProcessStat stat{};
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    return read_process_stat(path.c_str(), &stat) ? stat.cpu_seconds : -1;
}

}  // namespace testkit
