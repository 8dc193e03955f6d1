// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <signal.h>

#include <cstdio>
#include <cstring>

#include "version.h"

int open_command_line(const CommandLine& line, int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", line.program, RELAYHUB_VERSION);
        return 0;
    }
    ArgumentAnswer answer = line.read_arguments(argc, argv);
    if (answer == ARGUMENTS_TAKEN) return GO_ON;
    if (answer == ARGUMENTS_UNUSABLE) {
        std::fprintf(line.kind == BLOCK_TOOL ? stderr : stdout, "%s\n", line.usage);
    }
    return line.kind == BLOCK_TOOL ? 2 : 1;
}
