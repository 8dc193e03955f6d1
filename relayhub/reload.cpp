// SPDX-License-Identifier: MIT
#include "reload.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

ProgramFile noted_program;  // written once by note_program, read by exec_next_self
// Set by the handler, tested and cleared by the poll loop's pass.
volatile sig_atomic_t reload_flag = 0;

void note_reload_signal(int) { reload_flag = 1; }

// The signal mask with SIGUSR2 blocked (how = SIG_BLOCK) or unblocked (SIG_UNBLOCK).
void mask_reload_signal(int how) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR2);
    sigprocmask(how, &set, nullptr);
}

// The exec's environment: the process's own, less any variable of that name, and then
// `variable`. A new array of pointers (nullptr when memory runs out), to be freed; the strings
// stay where they are.
char** environment_with(const char* variable) {
    std::size_t name_length = std::strlen(HANDOVER_FD_VARIABLE);
    std::size_t count = 0;
    while (environ[count] != nullptr) ++count;
    auto** list = static_cast<char**>(std::malloc((count + 2) * sizeof(char*)));
    if (list == nullptr) return nullptr;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        bool same_name = std::strncmp(environ[i], HANDOVER_FD_VARIABLE, name_length) == 0 &&
                         environ[i][name_length] == '=';
        if (!same_name) list[kept++] = environ[i];
    }
    list[kept++] = const_cast<char*>(variable);  // execve takes char* but never writes them
    list[kept] = nullptr;
    return list;
}

// Sets or clears close-on-exec on each of the count descriptors of keep.
void mark_kept(const int* keep, std::uint32_t count, int flags) {
    for (std::uint32_t i = 0; i < count; ++i) fcntl(keep[i], F_SETFD, flags);
}

}  // namespace

bool note_program(int argc, char** argv) {
    noted_program.argv =
        static_cast<char**>(std::malloc((static_cast<std::size_t>(argc) + 1) * sizeof(char*)));
    if (noted_program.argv == nullptr) return false;
    for (int i = 0; i < argc; ++i) noted_program.argv[i] = argv[i];
    noted_program.argv[argc] = nullptr;
    // readlink writes no terminating zero, and fills the buffer when the path is cut short.
    ssize_t length = readlink("/proc/self/exe", noted_program.path, sizeof(noted_program.path));
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof(noted_program.path)) {
        noted_program.path_error = length < 0 ? errno : ENAMETOOLONG;
        noted_program.path[0] = '\0';
        errno = noted_program.path_error;
        return false;
    }
    noted_program.path[length] = '\0';
    noted_program.path_error = 0;
    return true;
}

bool watch_reload_signal() {
    struct sigaction action {};
    action.sa_handler = note_reload_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGUSR2, &action, nullptr) != 0) return false;
    mask_reload_signal(SIG_UNBLOCK);
    return true;
}

bool reload_requested() {
    if (reload_flag == 0) return false;
    // A signal between the test and the clearing is taken by the reload this answer starts.
    reload_flag = 0;
    return true;
}

int exec_program(const ProgramFile& program, int image_fd, const int* keep, std::uint32_t count) {
    int err = program.path_error;
    char variable[sizeof(HANDOVER_FD_VARIABLE) + 16];
    std::snprintf(variable, sizeof(variable), "%s=%d", HANDOVER_FD_VARIABLE, image_fd);
    char** environment = nullptr;
    if (program.path[0] == '\0' || program.argv == nullptr) {
        if (err == 0) err = ENOENT;
    } else if ((environment = environment_with(variable)) == nullptr) {
        err = ENOMEM;
    } else {
        // Blocked across the exec: the new program's handler is not there yet, and SIGUSR2's
        // default ends the process. The mask and a pending signal survive the exec, and the
        // new program unblocks it once its handler is in place.
        mask_reload_signal(SIG_BLOCK);
        mark_kept(keep, count, 0);
        fcntl(image_fd, F_SETFD, 0);
        execve(program.path, program.argv, environment);
        err = errno;  // before the clean-up, whose calls may change it
        mark_kept(keep, count, FD_CLOEXEC);
        mask_reload_signal(SIG_UNBLOCK);
        std::free(environment);
    }
    close(image_fd);
    errno = err;
    return -1;
}

int exec_next_self(int image_fd, const int* keep, std::uint32_t count) {
    return exec_program(noted_program, image_fd, keep, count);
}

int parse_handover_fd(const char* text) {
    if (text == nullptr || text[0] < '1' || text[0] > '9') return -1;  // no sign, blank or 0...
    long long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) return -1;  // checked at every digit, so it never overflows
    }
    return value >= 3 ? static_cast<int>(value) : -1;
}

int take_handed_image() {
    int fd = parse_handover_fd(std::getenv(HANDOVER_FD_VARIABLE));
    unsetenv(HANDOVER_FD_VARIABLE);
    if (fd < 0 || fcntl(fd, F_GETFD) == -1) return -1;
    set_close_on_exec(fd);
    return fd;
}

void set_close_on_exec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }
