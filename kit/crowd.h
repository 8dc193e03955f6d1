// SPDX-License-Identifier: MIT
#pragma once
// crowd: a relay's listeners, any number of them over non-blocking sockets in one epoll loop,
// so that a thousand cost the reading side little; the load tests', the cluster test's and the
// benchmark's. Each one connects, sends its request, reads whatever arrives at once (or,
// stalling, stops reading after its first whole block) and has every byte checked as a
// `blockframe -t` stream; a crowd may also keep every byte, for streams that a test compares
// with what it sent. The crowd owns the sockets and closes each one.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stream_check.h"

namespace testkit {

enum ListenerMode : std::int32_t {
    KEEP_UP = 1,  // reads every byte as soon as it arrives
    STALL = 2,    // stops reading after its first whole block, keeping the socket open
};

enum ListenerState : std::int32_t {
    IDLE = 0,             // not joined yet
    CONNECTING = 1,       // connect in progress, no request sent
    READING = 2,          // request sent; reading the stream
    STALLED = 3,          // STALL mode after its first block: open, never read again
    CLOSED_BY_RELAY = 4,  // the relay closed or reset it
    CLOSED_BY_US = 5,     // the crowd's owner closed it
    FAILED = 6,           // no socket, the connect failed or the request could not be sent
};

// What a listener has made of its stream so far. Every block of it must be a whole test block
// numbered one above the one before, and only the very last may be cut short.
struct ListenerCheck {
    StreamCheck stream;                // the response header first, then blocks
    std::uint64_t stream_bytes;        // after the response header
    std::uint64_t blocks;              // whole blocks, faults or not
    std::uint64_t last_sequence;       // the newest whole block's number
    std::uint32_t faults;              // every BlockFault seen, a cut at the connection's end aside
    std::uint64_t gaps;                // blocks missing, repeated or out of order
    std::uint64_t bad;                 // a wrong response header, and blocks with any other fault
    std::uint32_t first_length;        // payload length of the first whole block, 0 before it
    std::int64_t first_block_age_ns;   // receipt of its last byte minus its send time
    std::int64_t newest_sent_wall_ns;  // send time of the newest whole block, or 0
};

struct Listener {
    int fd;  // owned: -1 before joining and once closed
    ListenerMode mode;
    ListenerState state;
    int local_port;              // its own port: how the relay's side shows in /proc/net/tcp
    std::int64_t join_ns;        // monotonic: when its connect began
    std::int64_t request_ns;     // monotonic: when its request went out
    std::int64_t closed_ns;      // monotonic: when it was closed, by either side
    std::int64_t answered_ns;    // monotonic: when the whole response header had arrived, or 0
    std::int64_t first_byte_ns;  // monotonic: when its first stream byte arrived, or 0
    // Wall clock: when its latest read that brought bytes began and ended, with stamp_sends.
    std::int64_t read_from_wall_ns, read_to_wall_ns;
    ListenerCheck check;
    std::string bytes;  // everything received, response header included, when the crowd keeps it
};

// Block delays, kept only from from_wall_ns on (wall clock), so a warm-up does not count.
struct DelayLog {
    std::int64_t from_wall_ns;     // INT64_MAX: keep none yet
    std::vector<double> delay_ms;  // a whole block's first byte received minus its send time
    std::vector<double> whole_ms;  // its last byte received minus its send time
};

// When the relay sent what a listener's read brought: the kernel's receive time stamp, which
// loopback takes while the relay's send goes through, so the reading side's own delay does not
// count. A read that brings pieces of several passes has the newest one's. A piece the relay's
// socket held back until the listener acknowledged the piece before (a small segment waits for
// that while the one before is unacknowledged) goes out inside the listener's read that sent
// the acknowledgement, for loopback runs the relay's side of it in the reader's call: its
// stamp is the reader's time, not a pass's, and it is counted in held_stamps instead.
struct SendStamp {
    std::int64_t wall_ns;
    std::uint32_t listener;  // its index, which is its place among the relay's records too
};

struct Crowd {
    int epoll_fd;                     // owned: closed by crowd_end
    int port;                         // the relay's
    std::vector<Listener> listeners;  // index k has epoll data k
    // Both set, like on_block, before the crowd is first serviced.
    bool keep_bytes;                    // each listener keeps what it receives in bytes
    bool hash_blocks;                   // the blocks reported carry their fingerprints
    DelayLog delays;                    // block delays of every listener
    std::vector<double> first_byte_ms;  // request to first stream byte, per listener that got one
    // Called with the listener's index and each block its check reports, when set.
    std::function<void(std::size_t, const CheckedBlock&)> on_block;
    bool stamp_sends;                    // listeners ask for receive time stamps (SO_TIMESTAMPNS)
    std::vector<SendStamp> send_stamps;  // of every read, from delays.from_wall_ns on
    std::uint64_t held_stamps;           // stamps taken inside the listener's previous read
    int closed_by_relay;                 // listeners the relay has closed so far
    int answered;                        // listeners whose whole response header has arrived
};

// count listeners of the relay at port, none joined yet, all KEEP_UP; with stamp_sends, each
// read's send time is kept in send_stamps.
Crowd new_crowd(int port, std::size_t count, bool stamp_sends = false);
// One more listener, not joined yet; returns its index.
std::size_t crowd_add(Crowd* crowd);
// Starts connecting listener k; it sends its request once connected. FAILED when no connect
// could be begun.
void crowd_join(Crowd* crowd, std::size_t k);
// Waits up to timeout_ms for events, then completes connects, sends requests, reads and checks
// what has arrived and notes the connections the relay closed.
void crowd_service(Crowd* crowd, int timeout_ms);
// Services the crowd for ms milliseconds.
void crowd_pump(Crowd* crowd, int ms);
// Closes listener k if it is open (CLOSED_BY_US).
void crowd_close(Crowd* crowd, std::size_t k);
// Closes every listener still open and the epoll descriptor.
void crowd_end(Crowd* crowd);

// CONNECTING, READING or STALLED.
bool is_open(const Listener& listener);
// The relay closed it, or it could not connect or send its request.
bool was_dropped(const Listener& listener);
// Whether anything in the stream so far was wrong. A block cut short by the end of the
// connection is not: a listener that closes, or is closed, always cuts one.
bool is_damaged(const ListenerCheck& check);
// What is wrong with a listener's stream, in words ("" when nothing), leaving out the faults in
// `allowed` (FAULT_MISSING where blocks may be lost on purpose).
std::string stream_faults(const Listener& listener, std::uint32_t allowed = 0);
// Stream bytes received by every listener together.
std::uint64_t crowd_stream_bytes(const Crowd& crowd);
// Listeners whose stream is damaged.
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

}  // namespace testkit
