// SPDX-License-Identifier: MIT
#pragma once
// outbound: the clients' connection sequence, with its progress texts on standard error, and the
// pause between failed attempts, which it keeps from one call to the next.

// The pause before the attempt after a failed one: FIRST_RETRY_WAIT_MS, doubled after every
// further failure up to LONGEST_RETRY_WAIT_MS. A peer that refuses or drops every connection then
// costs a client a few attempts a second, not a core.
constexpr int FIRST_RETRY_WAIT_MS = 10;
constexpr int LONGEST_RETRY_WAIT_MS = 1000;

// Connects a blocking IPv4 TCP socket to host and the low 16 bits of port, and returns it (the
// caller owns and closes it). host is "@" and a dotted quad, used as it stands, or a name that
// is resolved on every attempt; the program has checked both with take_server_arguments. The first
// attempt is made at once unless the caller has called connection_failed since the last call;
// whatever fails in an attempt (socket, name lookup, connect), the whole sequence starts again
// after the pause above. Returns only with a connected socket and holds at most one socket at a
// time.
int connect_to_server(const char* host, int port);

// Tells the sequence that the connection it returned last ended at once (closed or reset before
// any byte arrived), so the next call pauses as after a failed attempt, and longer each time,
// instead of connecting again at once. Without this call a returned connection counts as one
// that stood, and the pause starts again from nothing.
void connection_failed();
