// SPDX-License-Identifier: MIT
#include "arguments.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

// A dotted quad that is the first length bytes of text, followed there by a separator.
bool parse_ipv4_prefix(const char* text, std::size_t length, std::uint32_t* address) {
    char address_text[IPV4_TEXT_SIZE];
    if (length >= sizeof address_text) return false;
    std::memcpy(address_text, text, length);
    address_text[length] = '\0';
    return parse_ipv4(address_text, address);
}

}  // namespace

bool parse_count(const char* text, std::uint64_t min, std::uint64_t max, std::uint64_t* value) {
    if (text[0] == '\0') return false;
    std::uint64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        auto digit = static_cast<std::uint64_t>(*p - '0');
        // Tested before the step, so v never wraps, whatever max and however long the text:
        // v * 10 + digit <= max exactly when digit <= max and v <= (max - digit) / 10.
        if (digit > max || v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    if (v < min) return false;
    *value = v;
    return true;
}

bool parse_port(const char* text, int* port) {
    std::uint64_t v = 0;
    if (!parse_count(text, 0, 65535, &v)) return false;
    *port = static_cast<int>(v);  // at most 65535
    return true;
}

bool parse_ipv4(const char* text, std::uint32_t* address) {
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    *address = ntohl(a.s_addr);
    return true;
}

bool parse_network(const char* text, Ipv4Network* network) {
    const char* slash = std::strchr(text, '/');
    std::uint32_t address = 0;
    std::uint64_t bits = 32;
    if (!parse_ipv4_prefix(text, std::strcspn(text, "/"), &address)) return false;
    if (slash != nullptr && !parse_count(slash + 1, 0, 32, &bits)) return false;
    // A shift by 32 is undefined, so /0 is spelt out.
    std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    *network = Ipv4Network{address & mask, mask};
    return true;
}

bool parse_endpoint(const char* text, std::uint32_t* address, int* port) {
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) return parse_port(text, port);
    return parse_ipv4_prefix(text, static_cast<std::size_t>(colon - text), address) &&
           parse_port(colon + 1, port);
}

bool network_contains(const Ipv4Network& network, std::uint32_t address) {
    return (address & network.mask) == network.address;
}

void ipv4_text(std::uint32_t address, char* out) {
    in_addr a{};
    a.s_addr = htonl(address);
    inet_ntop(AF_INET, &a, out, IPV4_TEXT_SIZE);
}

void report_bad_argument(const char* program, const char* text, const char* what) {
    std::fprintf(stderr, "%s: \"%s\" is not %s\n", program, text, what);
}

bool take_server_arguments(const char* program, const char* host, const char* port_text,
                           int* port) {
    std::uint32_t address = 0;
    if (host[0] == '\0' || (host[0] == '@' && !parse_ipv4(host + 1, &address))) {
        report_bad_argument(program, host, "a host (@ and a dotted quad, or a name)");
        return false;
    }
    if (!parse_port(port_text, port) || *port == 0) {
        report_bad_argument(program, port_text, "a port (a whole number from 1 to 65535)");
        return false;
    }
    return true;
}
