// SPDX-License-Identifier: MIT
#pragma once
// exposure: what a relay facing the public meets. lockout: connections that send nothing fill
// the table while listeners keep trying, one every half second; how long until the first is
// admitted, and whether any admitted listener is dropped. hostile: a producer streams through
// the real pipeline to listeners while another local address tries again and again to become
// the source; whether any foreign byte reaches a listener and whether the producer is cut off.

#include <vector>

#include "options.h"

// The address intruders connect from: Linux answers the whole of 127/8 on loopback, and a
// relay given `-s 127.0.0.1` lets only 127.0.0.1 feed it.
constexpr char HOSTILE_ADDRESS[] = "127.0.0.2";

// An intruder's attempt on the relay at port: two blocks of "EVIL" from HOSTILE_ADDRESS, sent
// once the connect is through. Returns the socket, to be kept open until the relay closes it,
// or -1.
int intrude(int port);
// Closes and takes out of *fds the intruders' sockets the relay has closed; returns how many.
int reap_intruders(std::vector<int>* fds);

// Each is false when its run could not start or no listener received a stream byte: it has
// then printed why instead of figures.
bool run_lockout(const Config& config);
bool run_hostile(const Config& config);
