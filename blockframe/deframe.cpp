// SPDX-License-Identifier: MIT
#include "deframe.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "capture_split.h"
#include "platform.h"
#include "stream_check.h"
#include "wire.h"

namespace {

constexpr std::uint32_t READ_SIZE = 65536;
// A block is written only once it is whole, so the current block is held until its end: at
// most the relay's largest block less a byte, since the check reports a block at its last byte
// and a length beyond that as lost framing. A piece of the capture, at most one read, is added
// only when all that was held before it has been fed.
constexpr std::uint32_t HELD_SIZE = RELAY_BLOCK_MAX + READ_SIZE;

// The current connection, from the current block's first byte on. Memory is touched only as
// far as the largest block seen, so a stream of small blocks stays small.
struct Deframer {
    StreamCheck check;    // zeroed at each connection and after each damaged block
    std::uint32_t start;  // the current block's first byte in held
    std::uint32_t fed;    // the end of what the check has taken
    std::uint32_t fill;   // the end of what is held
    std::uint8_t held[HELD_SIZE];
};

Deframer deframer;  // module state: one capture per run

// The search for a block goes on from the damaged block's second byte: a cut block takes in
// the header of the block behind it, and bytes without framing may end anywhere, so the next
// block may begin at any byte of what the check took.
void restart_after(Deframer* d) {
    d->start += 1;
    d->fed = d->start;
    d->check = StreamCheck{};
}

// Feeds the check all that is held and not yet taken. Returns false when the output failed.
bool feed(Deframer* d, std::FILE* out) {
    while (d->fed < d->fill) {
        CheckedBlock b{};
        // At most fill - fed, which fits in 32 bits.
        d->fed += static_cast<std::uint32_t>(
            check_bytes(&d->check, d->held + d->fed, d->fill - d->fed, 0, &b));
        if (b.size == 0) continue;
        if (!block_whole(b)) {
            restart_after(d);
            continue;
        }
        // Flushed block by block: a player behind the pipe gets each as soon as it is whole.
        std::size_t length = b.size - BLOCK_HEADER_SIZE;
        const std::uint8_t* payload = d->held + d->start + BLOCK_HEADER_SIZE;
        if (length > 0 && (std::fwrite(payload, 1, length, out) != length || std::fflush(out) != 0))
            return false;
        d->start += b.size;
    }
    return true;
}

// Stream bytes of the current connection, at most one read's.
bool take(Deframer* d, const std::uint8_t* bytes, std::size_t n, std::FILE* out) {
    if (n == 0) return true;
    // The current block's bytes move to the front. Right after a whole block they are at most a
    // piece; only after damage can they be more, once. While a block grows, nothing moves.
    if (d->start > 0) {
        std::uint32_t kept = d->fill - d->start;
        std::memmove(d->held, d->held + d->start, kept);
        d->start = 0;
        d->fed = kept;
        d->fill = kept;
    }
    std::memcpy(d->held + d->fill, bytes, n);
    d->fill += static_cast<std::uint32_t>(n);  // n is at most READ_SIZE
    return feed(d, out);
}

// The connection has ended, at a relay header or at the end of the input. A block it cut short
// is dropped; one with another block's header inside is searched on, as that block may have
// ended whole inside it.
bool end_connection(Deframer* d, std::FILE* out) {
    for (;;) {
        CheckedBlock b{};
        if (check_end(&d->check, &b) == 0 || (b.faults & FAULT_SPLICED) == 0) break;
        restart_after(d);
        if (!feed(d, out)) return false;
    }
    d->check = StreamCheck{};
    d->start = 0;
    d->fed = 0;
    d->fill = 0;
    return true;
}

// One read of the capture, split at the relay's headers.
bool take_read(Deframer* d, CaptureSplit* split, const std::uint8_t* bytes, std::size_t n,
               std::FILE* out) {
    for (std::size_t used = 0; used < n;) {
        CapturePiece piece{};
        used += split_capture(split, bytes + used, n - used, &piece);
        if (!take(d, piece.bytes, piece.size, out)) return false;
        if (piece.header_ended && !end_connection(d, out)) return false;
    }
    return true;
}

}  // namespace

int deframe(int in_fd, std::FILE* out) {
    static std::uint8_t input[READ_SIZE];
    // A capture without the relay's header (what curl or wget saved) is one connection.
    CaptureSplit split{};
    Deframer* d = &deframer;
    for (;;) {
        // read, not fread: whatever has arrived is taken at once, not when a buffer is full.
        ssize_t n = read(in_fd, input, sizeof input);
        if (n == 0) break;
        if (n < 0) {
            int err = last_error();  // before fprintf, which may change errno
            if (err == EINTR) continue;
            std::fprintf(stderr, "blockframe: read error: %s\n", std::strerror(err));
            return 2;
        }
        if (!take_read(d, &split, input, static_cast<std::size_t>(n), out)) return 3;
    }
    CapturePiece last = end_capture_split(&split);
    if (!take(d, last.bytes, last.size, out) || !end_connection(d, out)) return 3;
    return std::fflush(out) == 0 ? 0 : 3;
}
