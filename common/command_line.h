// SPDX-License-Identifier: MIT
#pragma once
// command_line: how every program's main begins. Each hands its command line here first, so
// that --version, the ignored SIGPIPE, the usage and the exit status after arguments that
// cannot be used are decided in one place for all six.

#include <cstdint>

// What a program's reading of its own arguments found.
enum ArgumentAnswer : std::int32_t {
    ARGUMENTS_TAKEN = 1,     // all good, and the program's options are set from them
    ARGUMENTS_UNUSABLE = 2,  // missing, or not in the program's form: the usage says what is
    ARGUMENT_REPORTED = 3,   // one is bad, and a line naming it is on standard error already
};

// Where a program writes its usage, and the status it ends with when its arguments cannot be
// used.
enum ProgramKind : std::int32_t {
    NETWORK_PROGRAM = 1,  // the relay and its clients: the usage on standard output, status 1
    BLOCK_TOOL = 2,       // the usage on standard error, which keeps standard output for the
                          // tool's stream or verdict; status 2
};

// One program's command line: its name, how its arguments are read and what is said when they
// cannot be used.
struct CommandLine {
    const char* program;  // as --version names it
    const char* usage;    // written with a newline after it when the arguments are unusable
    ProgramKind kind;
    // Reads argv[1] on into the program's options, which are module state of its main.cpp.
    ArgumentAnswer (*read_arguments)(int argc, char** argv);
};

// What open_command_line returns when the program is to go on.
constexpr int GO_ON = -1;

// The opening of every main, before anything is opened. Ignores SIGPIPE, since sends and writes
// to a peer or a consumer that has gone must come back as a failure instead of ending the
// program. "--version" as the first argument writes "<program> <version>" on standard output,
// and the program ends with 0: the one long option, answered before the program's own reader,
// which would take it for an unknown option. Otherwise reads the arguments, and writes the usage
// when they are unusable. Returns GO_ON, or the status main is to return at once (0 after
// --version, the kind's status after the usage or the reported line).
int open_command_line(const CommandLine& line, int argc, char** argv);
