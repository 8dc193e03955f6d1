// SPDX-License-Identifier: MIT
#pragma once
// stream_check: one listener's stream checked as it arrives, in pieces of any size, against
// every rule of the block format and of the test payloads that `blockframe -t` writes. It keeps
// of the stream only the current block's header, number and send time, and reports each block
// with its number, its send time and its faults; what a fault means for a capture (whether a
// stream must be all test blocks, whether a lost block matters) is its caller's business.

#include <cstddef>
#include <cstdint>

#include "wire.h"

// What can be wrong with one block, as bits: a block reported with none is a whole test block
// numbered one above the block before it.
enum BlockFault : std::uint32_t {
    FAULT_NO_MARKER = 1U << 0,  // no marker where a block must begin: framing is lost
    FAULT_LENGTH = 1U << 1,     // a length no relay can hold: framing is lost
    FAULT_CUT = 1U << 2,        // cut short where its connection ended
    // Another block's header inside what came: it was cut short somewhere other than at its
    // connection's end and other bytes were sent behind it, or its length was changed to
    // take them in.
    FAULT_SPLICED = 1U << 3,
    FAULT_MISSING = 1U << 4,       // numbered beyond the next number: blocks are missing before it
    FAULT_REPEATED = 1U << 5,      // numbered as the block before
    FAULT_OUT_OF_ORDER = 1U << 6,  // numbered below the block before
    FAULT_SHORT = 1U << 7,         // too short for a test payload's number and send time
    FAULT_OPAQUE = 1U << 8,  // the opaque field is not the low 32 bits of the payload's number
    FAULT_FILLER = 1U << 9,  // a filler byte differs from the one the test mode writes
};
// A block with none of these is a test block: a stream of another producer has them all.
constexpr std::uint32_t NOT_TEST_FAULTS = FAULT_SHORT | FAULT_OPAQUE | FAULT_FILLER;
constexpr std::uint32_t ORDER_FAULTS = FAULT_MISSING | FAULT_REPEATED | FAULT_OUT_OF_ORDER;
// Faults of bytes that are not the block their header began: framing is lost at them, or
// another block's bytes are mixed in.
constexpr std::uint32_t FRAMING_FAULTS = FAULT_NO_MARKER | FAULT_LENGTH | FAULT_SPLICED;

// One block as the check reports it, once it has ended, been cut short or lost its framing.
struct CheckedBlock {
    std::uint32_t faults;  // BlockFault bits
    std::uint32_t size;    // its bytes received, header included
    std::uint32_t length;  // the payload length its header declares, once that has arrived
    // A test block's number is the payload's 64-bit sequence; any other block's is its opaque
    // field, taken in the run of the number expected (the high 32 bits of the one before, plus
    // one). Meaningful once its header is whole and it kept its framing.
    std::uint64_t number;
    std::int64_t sent_wall_ns;  // payload bytes 8..15 (the test mode's send time), or 0
    std::int64_t first_at;      // the caller's clock reading when its first byte was taken
    std::int64_t last_at;       // and when its last byte was
    std::uint64_t hash;         // fnv1a of its bytes, when the check hashes; else 0
};

// The one rule for a block whose payload a reader may use: it kept its framing, holds no other
// block's header and arrived whole. blockcheck counts these blocks, `blockframe -d` writes
// their payloads and the tests' listeners take their figures from them; order and test-payload
// faults are the caller's business.
inline bool block_whole(const CheckedBlock& b) {
    return (b.faults & (FAULT_CUT | FRAMING_FAULTS)) == 0;
}

enum CheckPhase : std::int32_t {
    CHECK_HEADER = 0,    // at or inside a block's header: a zeroed check starts here
    CHECK_PAYLOAD = 1,   // inside a block's payload
    CHECK_UNFRAMED = 2,  // framing is lost: the rest of the connection is no block
    CHECK_RESPONSE = 3,  // inside the relay's response header, before the first block
};

// A zeroed record checks a stream from a block boundary on; set phase to CHECK_RESPONSE for a
// listener's connection, which begins with the relay's response header, and hashing to have
// every block's fingerprint taken.
struct StreamCheck {
    CheckPhase phase;
    bool hashing;
    bool header_wrong;             // the response header differed from the relay's
    std::uint32_t response_at;     // bytes of the response header taken so far
    std::uint64_t unframed_bytes;  // taken after framing was lost
    std::uint64_t whole_blocks;    // blocks that ended whole, whatever their faults
    std::uint64_t last_number;     // the newest whole block's number
    std::uint8_t head[BLOCK_HEADER_SIZE + TEST_PAYLOAD_MIN];  // header, number and send time
    std::uint64_t recent;  // the current block's last 8 bytes, the oldest lowest
    bool holds_header;     // a header a relay can hold begins inside the current block
    CheckedBlock block;    // the current block, as far as it has arrived
};

// Takes bytes from the front of bytes[0..n), received at the caller's clock reading now, up to
// the end of the first block that ends among them or loses its framing there. Returns how many
// it took: all n when no block ends among them. When one ended, *ended is its report and
// ended->size > 0; otherwise ended->size is 0.
std::size_t check_bytes(StreamCheck* check, const std::uint8_t* bytes, std::size_t n,
                        std::int64_t now, CheckedBlock* ended);
// The connection has ended. Returns 1 with *ended the block it was in the middle of (FAULT_CUT,
// or FAULT_SPLICED when that block holds another block's header), 0 when it was at a block
// boundary, in the response header or unframed. After a block the check stands at a boundary.
int check_end(StreamCheck* check, CheckedBlock* ended);
