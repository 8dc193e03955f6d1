// SPDX-License-Identifier: MIT
#pragma once
// deframe: `blockframe -d`, the way back from a listener's capture to what was framed. The
// capture is split into its connections at the relay's headers, each connection's bytes go
// through the stream checker, and the payload of every block that passes the checker's one rule
// for a whole block is written and flushed at once, so that a player behind it plays live.

#include <cstdio>

// Reads in_fd to its end and writes the payloads to out. Returns 0 at the end of the input, 2
// after a read error (named on standard error), 3 as soon as out fails (its consumer is gone).
int deframe(int in_fd, std::FILE* out);
