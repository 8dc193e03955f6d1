// SPDX-License-Identifier: MIT
#include "outbound.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "arguments.h"
#include "platform.h"

namespace {

// Module state: the pause before the next attempt (0: at once) and the pause the last returned
// connection was made after, which connection_failed takes up again. Written only here.
int retry_wait_ms = 0;
int wait_before_last_connection_ms = 0;

// The pause that follows a failed attempt made after a pause of waited_ms.
int next_retry_wait_ms(int waited_ms) {
    if (waited_ms == 0) return FIRST_RETRY_WAIT_MS;
    return waited_ms >= LONGEST_RETRY_WAIT_MS / 2 ? LONGEST_RETRY_WAIT_MS : waited_ms * 2;
}

// The address of host for this attempt, or false when a name gives no IPv4 address. Writes the
// name's part of the progress text.
bool server_address(const char* host, in_addr* address) {
    if (host[0] == '@') {
        // The program checked the dotted quad at start (take_server_arguments), so this holds.
        std::uint32_t quad = 0;
        parse_ipv4(host + 1, &quad);
        address->s_addr = htonl(quad);
        return true;
    }
    std::fprintf(stderr, "Resolving name....\n%s", host);
    hostent* entry = gethostbyname(host);
    // An entry without an IPv4 address counts as a failed lookup, not as an address.
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4 ||
        entry->h_addr_list[0] == nullptr) {
        return false;
    }
    std::memcpy(&address->s_addr, entry->h_addr_list[0], 4);
    return true;
}

}  // namespace

int connect_to_server(const char* host, int port) {
    // No limit on the attempts, only a growing pause between failed ones; the progress texts are
    // those of the attempts alone, so a log looks the same with or without the pauses.
    for (;;) {
        if (retry_wait_ms > 0) sleep_ms(retry_wait_ms);
        int waited_ms = retry_wait_ms;
        retry_wait_ms = next_retry_wait_ms(waited_ms);  // kept unless this attempt succeeds
        std::fprintf(stderr, "Opening socket...");
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd == -1) continue;
        std::fprintf(stderr, "Done.\n");
        in_addr address{};
        if (!server_address(host, &address)) {
            close_fd(fd);
            continue;
        }
        std::fprintf(stderr, "=%s\n", inet_ntoa(address));
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<std::uint16_t>(port));  // only the low 16 bits count
        server.sin_addr = address;
        std::fprintf(stderr, "Connecting...");
        if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == -1) {
            close_fd(fd);
            continue;
        }
        std::fprintf(stderr, "Done.\n");
        // A connection that stands resets the pause, unless the caller reports that it failed.
        retry_wait_ms = 0;
        wait_before_last_connection_ms = waited_ms;
        return fd;
    }
}

void connection_failed() { retry_wait_ms = next_retry_wait_ms(wait_before_last_connection_ms); }
