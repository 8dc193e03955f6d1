// SPDX-License-Identifier: MIT
#pragma once
// send_report: the clients' blocking send of one piece, which reports its own failure.

// Sends all count bytes of data on the blocking socket, calling send again for whatever a send
// took only in part, so a piece never goes out cut short in the middle of a stream.
// Returns 0 when every byte was taken; 1 when a send failed, after writing
// "send error: <errno>\n" on standard error (once, and nothing else is retried).
int send_or_report(int socket, const void* data, int count);
