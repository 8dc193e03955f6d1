// SPDX-License-Identifier: MIT
#pragma once
// reload: how the relay replaces its program with its next self in the same process, keeping
// chosen descriptors open, and how the next self finds the image it was handed. It owns the
// program file's path and the arguments, resolved once at start, and SIGUSR2's flag; it knows
// nothing of what the descriptors or the image hold. The process id stays the same, so for a
// service manager a reload is a reload, not a restart.

#include <cstdint>

// Names the image's descriptor to the next program, in the environment of the exec alone.
constexpr char HANDOVER_FD_VARIABLE[] = "RELAYHUB_HANDOVER_FD";

// What a reload execs: the program file's absolute path as the system saw it at start (not
// looked up on PATH, so a package upgrade that replaced the file starts the new version), and
// the arguments the relay was started with.
constexpr std::uint32_t PROGRAM_PATH_MAX = 4096;
struct ProgramFile {
    char path[PROGRAM_PATH_MAX];  // "" when it could not be resolved
    int path_error;               // errno of the failed resolution, 0 when path is set
    char** argv;                  // owned copy of the pointers, nullptr-terminated
};

// At start, before the options are parsed (getopt may reorder the pointers): resolves this
// program's file through /proc/self/exe and keeps argv. False with errno set when the path
// cannot be resolved; the relay serves on, and a reload fails with that errno.
bool note_program(int argc, char** argv);

// Installs SIGUSR2's handler, which only sets a flag (SA_RESTART, so no system call of the
// pass fails with EINTR), then unblocks SIGUSR2, which a previous program blocked across its
// exec so that a signal sent meanwhile is kept pending, not taken as the default's end of the
// process. False with errno set when sigaction fails.
bool watch_reload_signal();
// Whether a SIGUSR2 has come since the last call; clears the flag. However many signals came
// in between, the answer is one true: a storm reloads at most once a pass.
bool reload_requested();

// Execs the program again: clears close-on-exec on image_fd and the count descriptors of keep
// (every other descriptor the relay opened must carry close-on-exec), names image_fd in the
// exec's environment, blocks SIGUSR2 across the exec, and runs the program file with the same
// arguments. Returns only when that fails (the file gone, not executable, for another
// machine): -1 with errno set, close-on-exec back on the descriptors of keep, image_fd
// closed and SIGUSR2 unblocked, so the caller writes one line and serves on, having lost
// nothing. The second form execs the given program rather than the one noted at start.
int exec_next_self(int image_fd, const int* keep, std::uint32_t count);
int exec_program(const ProgramFile& program, int image_fd, const int* keep, std::uint32_t count);

// The descriptor a variable's text names: a plain decimal number from 3 to INT_MAX, without
// sign, blanks or leading zeros (the standard descriptors are never an image). -1 for
// anything else, nullptr included. Does not look at the descriptor.
int parse_handover_fd(const char* text);
// At start: reads and removes HANDOVER_FD_VARIABLE from the environment, so that no later
// exec passes it on. Returns the descriptor it names when the text parses and the descriptor
// is open, now with close-on-exec set; else -1, and the relay starts afresh.
int take_handed_image();

// Sets close-on-exec on fd; the result is not examined. Every socket the relay opens or accepts
// needs it, so that a reload passes on only what exec_next_self is told to keep.
void set_close_on_exec(int fd);
