// SPDX-License-Identifier: MIT
#pragma once
// forwarded: what feedlink remembers of the blocks it has sent downstream, so that a new upstream
// connection, which starts near live and so often with blocks already sent, repeats none of them.
// It keeps a fixed ring of short records, never a block.

#include <cstdint>

// How many of the last forwarded blocks a new upstream connection's first blocks are compared
// with. A relay starts a listener at its newest complete block, so the overlap is a block or
// two; 64 leaves room for an upstream that lags the old one by many blocks.
constexpr std::uint32_t FORWARDED_RING_SIZE = 64;

// One forwarded block as far as comparing goes: its length, its opaque field and its
// fingerprint over all its bytes, header included.
struct ForwardedBlock {
    std::uint32_t length;
    std::uint32_t opaque;
    std::uint64_t hash;
};

// A zeroed record holds no block and is not catching up.
struct ForwardedRing {
    ForwardedBlock entries[FORWARDED_RING_SIZE];
    std::uint32_t count;  // entries in use, up to FORWARDED_RING_SIZE
    std::uint32_t next;   // where the next forwarded block is written
    // While catching up, the ring index (0 = oldest) the connection's next block must equal to
    // be skipped; CATCH_UP_OPEN before its first block, CATCH_UP_DONE once a block was new.
    std::uint32_t catch_up;
};
constexpr std::uint32_t CATCH_UP_OPEN = 0xFFFFFFFEU;
constexpr std::uint32_t CATCH_UP_DONE = 0xFFFFFFFFU;

// A new upstream connection begins: its first blocks are compared with the ring again.
void forwarded_new_connection(ForwardedRing* ring);

// Whether the connection's next block, given by its length, opaque field and fingerprint, is one
// already forwarded. The first block of a connection is looked up among all the entries, newest
// first; each later one must equal the entry after the last match, so a connection goes on
// skipping only while it retraces the forwarded blocks in order. SKIP means it must not be sent;
// FORWARD means it is new (and from then on every block of the connection is), and the caller
// records it with forwarded_record once sent or lost.
enum LinkDecision : std::int32_t { FORWARD = 1, SKIP = 2 };
LinkDecision forwarded_decide(ForwardedRing* ring, const ForwardedBlock& block);

// Records a block that was forwarded (or given up downstream: it is not sent again either).
void forwarded_record(ForwardedRing* ring, const ForwardedBlock& block);
