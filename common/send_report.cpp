// SPDX-License-Identifier: MIT
#include "send_report.h"

#include <sys/socket.h>

#include <cstdint>
#include <cstdio>

#include "platform.h"

int send_or_report(int socket, const void* data, int count) {
    const auto* next = static_cast<const std::uint8_t*>(data);
    int left = count;
    while (left > 0) {
        // Flags 0: each client's main ignores SIGPIPE, so a vanished peer comes back as -1.
        ssize_t taken = send(socket, next, static_cast<std::size_t>(left), 0);
        if (taken == -1) {
            int err = last_error();  // before fprintf, which may change errno
            std::fprintf(stderr, "send error: %d\n", err);
            return 1;
        }
        next += taken;
        left -= static_cast<int>(taken);
    }
    return 0;
}
