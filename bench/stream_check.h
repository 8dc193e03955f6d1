// SPDX-License-Identifier: MIT
#pragma once
// stream_check: what one listener makes of the bytes it receives. It checks them as they
// arrive, without keeping them: the relay's 135-byte response header, then test blocks from a
// block boundary on, each with its marker, consecutive sequence numbers, the opaque field and
// every filler byte as `blockframe -t` writes them. It also keeps the times that the figures
// are made of: when the stream began, the delay of each block and the age of complete ones.

#include <cstddef>
#include <cstdint>
#include <vector>

// Where in the stream the next byte falls.
enum CheckPhase : std::int32_t {
    RESPONSE = 1,    // inside the relay's response header
    BLOCK_HEAD = 2,  // inside a block's 12-byte header
    PAYLOAD = 3,     // inside a block's payload
    LOST = 4,        // the framing is lost: what follows is counted, not checked
};

struct StreamCheck {
    CheckPhase phase;
    std::uint32_t at;            // bytes of the current header or payload taken so far
    std::uint8_t head[12 + 16];  // the block header, then the payload's sequence and send time
    std::uint32_t length;        // the current block's payload length
    std::uint64_t sequence;      // of the current block, once its first 8 payload bytes are in
    std::int64_t sent_wall_ns;   // its send time, once payload bytes 8..15 are in
    std::int64_t block_start_wall_ns;  // when the current block's first byte arrived
    std::uint64_t stream_bytes;        // bytes after the response header
    std::uint64_t blocks;              // complete blocks
    bool any_sequence;                 // whether last_sequence holds a block's number yet
    std::uint64_t last_sequence;
    std::uint32_t first_length;         // payload length of the first block, 0 before it
    std::int64_t first_stream_wall_ns;  // when the first byte after the header arrived, or 0
    std::int64_t first_block_age_ns;    // receipt minus send time of the first complete block
    std::int64_t newest_sent_wall_ns;   // send time of the newest complete block, or 0
    // What was wrong, by kind; any of them makes the stream damaged.
    std::uint32_t bad_header;   // the response header differed
    std::uint32_t bad_framing;  // no marker where a block must begin
    std::uint64_t gaps;         // a sequence number that does not follow the one before
    std::uint64_t bad_blocks;   // a payload under 16 bytes, a wrong opaque field or filler byte
    bool block_bad;             // the current block is one of those
};

// Block delays are kept only from here on (wall clock), so a warm-up does not count.
struct DelayLog {
    std::int64_t from_wall_ns;     // INT64_MAX: keep none yet
    std::vector<double> delay_ms;  // block's first byte received minus its send time
};

// A check at the start of a stream: expecting the response header.
StreamCheck new_stream_check();
// Takes the next n bytes received, at wall-clock time now_wall_ns; delays go to log, which
// may be null.
void check_bytes(StreamCheck* check, const std::uint8_t* bytes, std::size_t n,
                 std::int64_t now_wall_ns, DelayLog* log);
// Whether anything in the stream so far was wrong. A block cut short by the end of the
// connection is not: a listener that closes, or is closed, always cuts one.
bool is_damaged(const StreamCheck& check);
