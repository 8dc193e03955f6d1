#pragma once
// outbound: the clients' connection sequence, with its progress texts on standard error.

// Connects a blocking IPv4 TCP socket to host and the low 16 bits of port, and returns it (the
// caller owns and closes it). host is "@" and a dotted quad, used as it stands, or a name that
// is resolved on every attempt. Whatever fails, the whole sequence starts again at once; the
// call returns only with a connected socket and holds at most one socket at a time.
int connect_to_server(const char* host, int port);
