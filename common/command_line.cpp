// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <signal.h>

#include <cstdio>

int open_command_line(const CommandLine& line, int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    ArgumentAnswer answer = line.read_arguments(argc, argv);
    if (answer == ARGUMENTS_TAKEN) return GO_ON;
    if (answer == ARGUMENTS_UNUSABLE) {
        std::fprintf(line.usage_on_stderr ? stderr : stdout, "%s\n", line.usage);
    }
    return line.fault_status;
}
