// SPDX-License-Identifier: MIT
#pragma once
// crowd: the benchmark's listeners, any number of them over non-blocking sockets in one epoll
// loop, so that hundreds cost the measuring side little. Each one connects, sends its request,
// reads whatever arrives at once (or, stalling, stops reading after its first complete block)
// and has every byte checked; the crowd owns their sockets and closes each one.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stream_check.h"

enum ListenerMode : std::int32_t {
    KEEP_UP = 1,  // reads every byte as soon as it arrives
    STALL = 2,    // stops reading after its first complete block, keeping the socket open
};

enum ListenerState : std::int32_t {
    IDLE = 0,             // not joined yet
    CONNECTING = 1,       // connect in progress, no request sent
    READING = 2,          // request sent; reading the stream
    STALLED = 3,          // STALL mode after its first block: open, never read again
    CLOSED_BY_RELAY = 4,  // the relay closed or reset it
    CLOSED_BY_US = 5,     // the benchmark closed it
    FAILED = 6,           // no socket, the connect failed or the request could not be sent
};

struct Listener {
    int fd;  // owned: -1 before joining and once closed
    ListenerMode mode;
    ListenerState state;
    int local_port;           // its own port: how the relay's side shows in /proc/net/tcp
    std::int64_t join_ns;     // monotonic: when its connect began
    std::int64_t request_ns;  // monotonic: when its request went out
    std::int64_t closed_ns;   // monotonic: when it was closed, by either side
    StreamCheck check;
};

// When the relay sent what a listener's read brought: the kernel's receive time stamp, which
// loopback takes while the relay's send goes through, so the benchmark's own delay in reading
// does not count. A read that brings pieces of several passes has the newest one's.
struct SendStamp {
    std::int64_t wall_ns;
    std::uint32_t listener;  // its index, which is its place among the relay's records too
};

struct Crowd {
    int epoll_fd;                        // owned: closed by crowd_end
    int port;                            // the relay's
    std::vector<Listener> listeners;     // index k has epoll data k
    DelayLog delays;                     // block delays of every listener, from delays.from_wall_ns
    std::vector<double> first_byte_ms;   // request to first stream byte, per listener that got one
    bool stamp_sends;                    // listeners ask for receive time stamps (SO_TIMESTAMPNS)
    std::vector<SendStamp> send_stamps;  // of every read, from delays.from_wall_ns on
    int closed_by_relay;                 // listeners the relay has closed so far
};

// A non-blocking connect to 127.0.0.1:port begun (or already done): the socket, or -1.
int connect_nonblocking(int port);

// count listeners of the relay at port, none joined yet, all KEEP_UP; with stamp_sends, each
// read's send time is kept in send_stamps.
Crowd new_crowd(int port, std::size_t count, bool stamp_sends = false);
// Starts connecting listener k; it sends its request once connected. FAILED when no connect
// could be begun.
void crowd_join(Crowd* crowd, std::size_t k);
// Waits up to timeout_ms for events, then completes connects, sends requests, reads and checks
// what has arrived and notes the connections the relay closed.
void crowd_service(Crowd* crowd, int timeout_ms);
// Closes listener k if it is open (CLOSED_BY_US).
void crowd_close(Crowd* crowd, std::size_t k);
// Closes every listener still open and the epoll descriptor.
void crowd_end(Crowd* crowd);

// CONNECTING, READING or STALLED.
bool is_open(const Listener& listener);
// The relay closed it, or it could not connect or send its request.
bool was_dropped(const Listener& listener);
// Stream bytes received by every listener together.
std::uint64_t crowd_stream_bytes(const Crowd& crowd);
// Listeners whose stream is damaged (see is_damaged).
int crowd_damaged(const Crowd& crowd);
// The length of each pass of the relay that sent pieces, in ms, from the first to the last piece
// it sent. The relay visits its records in the order they joined, one piece each per pass, so
// a pass ends where the next stamp in time belongs to a listener that joined no later than the
// one before it, or comes 2 ms or more after it (so a pass in which the relay was descheduled
// that long counts as two). Passes that sent nothing leave no stamp and are not counted.
std::vector<double> pass_lengths_ms(std::vector<SendStamp> stamps);
// The payload length of the first block any listener received (with blockframe's default
// payload, the only place the benchmark learns it), or 0.
std::uint32_t crowd_payload(const Crowd& crowd);
