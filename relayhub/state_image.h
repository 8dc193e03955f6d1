// SPDX-License-Identifier: MIT
#pragma once
// state_image: the relay's whole state handed to its next self, at the top of the house beside
// the poll loop. At the end of a pass in which a reload was asked for, the window, the table,
// the metrics port and the counters are written as one image, section by section, and the
// program file is run again in the same process with their sockets kept open. The next
// program takes the image back before it opens anything, checks every section and every
// socket it names, and goes on where the last one stopped: a listener's next byte is the byte
// after its last one. An image it cannot take costs the listeners' connections only: the
// listening sockets are kept, and everything else starts afresh.

#include <cstdint>

#include "handover.h"

// Where the relay listens, as its command line says: what a kept listening socket must match.
struct ListeningPorts {
    std::uint32_t address;  // host byte order; 0: every interface
    int port;               // 0: the system chose, and any port matches
    bool metrics;           // -m given
    std::uint32_t metrics_address;
    int metrics_port;
};

// What resume_state left to main.
struct Resumed {
    bool taken;  // the image's state is in place; its sockets wait to be watched
    // Otherwise: the listening sockets kept from a refused image, or -1 (nothing was handed
    // in, or none matched).
    int listen_fd;
    int metrics_fd;
};

// At start, after the table is reserved and before readiness is open or any socket is opened:
// takes the image on image_fd (a descriptor named by take_handed_image, or -1 for none) and
// closes it. An image that fails any check leaves one line on standard error, every module as
// at a fresh start, and every inherited socket closed but those listening on ports.
Resumed resume_state(int image_fd, const ListeningPorts& ports, std::uint32_t now_ms);

// Descriptors held since the very first start beyond the standard three: the budget counts
// them, and a reload hands the number on.
void note_inherited(std::uint64_t count);
std::uint64_t inherited_descriptors();

// At the end of a pass in which SIGUSR2 came: writes the image and runs the program file again.
// Returns only when that failed, after one line on standard error; nothing is lost, and the
// relay serves on in this program.
void reload_now(std::uint32_t now_ms);

// The image's body as reload_now writes it and resume_state takes it, for the tests and the
// fuzzer: every section, ages taken at now_ms. take_state checks every field but the sockets
// (see resume_state); when one fails, every module is as at a fresh start again.
void put_state(HandoverImage& image, std::uint32_t now_ms);
bool take_state(HandoverReader& body, std::uint32_t now_ms);
