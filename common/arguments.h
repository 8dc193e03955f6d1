// SPDX-License-Identifier: MIT
#pragma once
// arguments: the numbers and addresses the programs take from their command lines, checked
// before anything is opened. A typo then ends the program with a line that names it, instead
// of starting a relay on some other port or a client that retries for ever.

#include <cstdint>

// An IPv4 address or network as a number in host byte order: 127.0.0.1 is 0x7F000001.
struct Ipv4Network {
    std::uint32_t address;  // with the bits outside mask cleared
    std::uint32_t mask;     // BITS leading ones
};
// "127.0.0.1" and the like, 15 characters at most, and the terminating zero.
constexpr int IPV4_TEXT_SIZE = 16;

// The one reader of numbers on a command line: a whole decimal number from min to max, digits
// only (no sign, blank or suffix; leading zeros are allowed), for any max up to 2^64 - 1.
// *value is written only when the text is taken.
bool parse_count(const char* text, std::uint64_t min, std::uint64_t max, std::uint64_t* value);
// A port: a whole decimal number from 0 to 65535, digits only (no sign, blank or suffix).
bool parse_port(const char* text, int* port);
// A dotted quad, as inet_pton reads it: four decimal numbers from 0 to 255.
bool parse_ipv4(const char* text, std::uint32_t* address);
// ADDRESS or ADDRESS/BITS, BITS a whole number from 0 to 32; an address alone is itself (/32).
// Address bits beyond the prefix are ignored: 10.1.2.3/8 is 10.0.0.0/8.
bool parse_network(const char* text, Ipv4Network* network);
bool network_contains(const Ipv4Network& network, std::uint32_t address);
// [ADDRESS:]PORT: a port alone keeps *address as it is (the caller's default).
bool parse_endpoint(const char* text, std::uint32_t* address, int* port);
// The address as a dotted quad into out (IPV4_TEXT_SIZE bytes).
void ipv4_text(std::uint32_t address, char* out);

// A client's server: the host text ("@" and a dotted quad, used as it stands, or a name, which
// is resolved on every attempt because the network may come later) and a port from 1 to 65535
// (nothing listens on port 0). On a bad one, writes "<program>: ..." naming it on standard
// error and returns false; otherwise sets *port.
bool take_server_arguments(const char* program, const char* host, const char* port_text, int* port);
// Writes "<program>: "<text>" is not <what>\n" on standard error.
void report_bad_argument(const char* program, const char* text, const char* what);
