#include "outbound.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

// The address of host for this attempt, or false when a name gives no IPv4 address. Writes the
// name's part of the progress text.
bool server_address(const char* host, in_addr* address) {
    if (host[0] == '@') {
        // Not checked: a text that is no dotted quad gives INADDR_NONE, 255.255.255.255.
        address->s_addr = inet_addr(host + 1);
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
    // No pause and no limit: a refused connection is tried again as fast as it is refused.
    for (;;) {
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
        return fd;
    }
}
