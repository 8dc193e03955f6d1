// SPDX-License-Identifier: MIT
#pragma once
// wire: the two formats that the relay, its clients and the block tools agree on. A source's
// stream is blocks laid end to end, each a 12-byte header and its payload; every player is
// answered with one fixed HTTP/1.0 header before the stream's bytes. Also the piece, the most
// bytes one send of the stream carries, and the fingerprint by which the tools that compare
// blocks tell copies of one block apart.

#include <cstddef>
#include <cstdint>

// Multi-byte fields are little-endian and read byte by byte, so neither alignment nor the
// host's byte order matters.
inline std::uint32_t read_u32_le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void write_u32_le(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline std::uint64_t read_u64_le(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(read_u32_le(p)) |
           static_cast<std::uint64_t>(read_u32_le(p + 4)) << 32;
}
inline void write_u64_le(std::uint8_t* p, std::uint64_t v) {
    write_u32_le(p, static_cast<std::uint32_t>(v));
    write_u32_le(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// The block header as it stands on the wire: "<BL>", the payload length, 4 bytes that only
// the producer and the listeners interpret.
struct BlockHeader {
    std::uint32_t marker;  // BLOCK_MARKER
    std::uint32_t length;  // payload bytes, header not counted
    std::uint32_t opaque;  // passed through unchanged
};
constexpr std::uint32_t BLOCK_HEADER_SIZE = 12;
constexpr std::uint32_t BLOCK_MARKER = 0x3E4C423C;  // "<BL>" read little-endian

inline BlockHeader read_block_header(const std::uint8_t* p) {
    return BlockHeader{read_u32_le(p), read_u32_le(p + 4), read_u32_le(p + 8)};
}
inline void write_block_header(std::uint8_t* p, const BlockHeader& h) {
    write_u32_le(p, h.marker);
    write_u32_le(p + 4, h.length);
    write_u32_le(p + 8, h.opaque);
}
inline bool is_block_marker(const std::uint8_t* p) { return read_u32_le(p) == BLOCK_MARKER; }

// The largest block, header included, that ever reaches a listener: the size of the relay's
// window. A header that declares a larger one begins no block.
constexpr std::uint32_t RELAY_BLOCK_MAX = 16 * 1024 * 1024;
// Whether a block of this payload length, header included, fits in max bytes (by default what
// a relay can hold); 64 bits, so that a length near 2^32 plus the header does not wrap.
inline bool block_length_fits(std::uint32_t length, std::uint64_t max = RELAY_BLOCK_MAX) {
    return static_cast<std::uint64_t>(length) + BLOCK_HEADER_SIZE <= max;
}
// The one rule for where a block begins: a marker, and a length a relay can hold. Anything else
// is bytes that frame nothing, however they came: a flipped bit in a length field must not
// make a reader skip up to 4 GiB of good stream. The relay's window, the stream checker,
// feedsend's input framing and feedlink all decide by it. The second form takes the first 8
// bytes of a header.
inline bool block_frames(std::uint32_t marker, std::uint32_t length) {
    return marker == BLOCK_MARKER && block_length_fits(length);
}
inline bool block_frames_at(const std::uint8_t* p) {
    return block_frames(read_u32_le(p), read_u32_le(p + 4));
}

// A piece, in bytes: the most the relay sends a player in one pass of its loop, and what
// feedsend sends and feedfetch reads in one call. 1460 is about the payload of one full TCP
// segment on Ethernet (a 1500-byte packet less 20 bytes of IPv4 header and 20 of TCP header,
// 12 fewer with TCP timestamps), so a piece leaves as about one segment. A block of
// k pieces, header included, leaves feedsend the moment it is written (blockframe's default
// block is 3).
constexpr std::uint32_t PIECE_SIZE = 1460;

// A block's fingerprint, for telling a copy of a block from any other block: FNV-1a over its
// bytes, header included. Cheap, and a changed byte changes it. It may be taken in pieces:
// h = fnv1a(h, next_bytes, n), from FNV1A_BASIS.
constexpr std::uint64_t FNV1A_BASIS = 14695981039346656037ULL;  // the 64-bit offset basis
inline std::uint64_t fnv1a(std::uint64_t h, const std::uint8_t* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 1099511628211ULL;  // the FNV prime
    return h;
}

// Sent to every player, without a terminating zero. Content-Length is 2^31 - 1 whatever the
// stream, so that clients read on until the connection ends.
constexpr char RESPONSE_HEADER[] =
    "HTTP/1.0 200 OK\r\n"
    "Content-Type: audio/qova\r\n"
    "Content-Length: 2147483647\r\n"
    "cache-control: private, no-store, no-cache\r\n"
    "PRAGMA: NO-CACHE\r\n"
    "\r\n";
constexpr std::uint32_t RESPONSE_HEADER_SIZE = sizeof(RESPONSE_HEADER) - 1;
static_assert(RESPONSE_HEADER_SIZE == 135);

// The end of an HTTP request header: CR LF CR LF. The search after a read of received bytes
// (above 0) that landed behind old_fill bytes of buffer tests every position whose four bytes
// end inside the new bytes, so an end split across reads is found too. Returns the offset just
// past the first request end, or 0.
inline std::uint32_t find_request_end(const std::uint8_t* buffer, std::uint32_t old_fill,
                                      std::uint32_t received) {
    std::uint32_t end = old_fill + received;
    // Positions before old_fill - 3 lie wholly in bytes an earlier search has tested already.
    for (std::uint32_t k = old_fill >= 3 ? old_fill - 3 : 0; k + 4 <= end; ++k) {
        if (buffer[k] == 0x0D && buffer[k + 1] == 0x0A && buffer[k + 2] == 0x0D &&
            buffer[k + 3] == 0x0A) {
            return k + 4;
        }
    }
    return 0;
}

// The request step, after one read: its received bytes (above 0) already stand at
// buffer[*fill]. The fill grows by them, and while no end has been found (*header_end is 0)
// the search covers them; an end once found stays where it is, whatever follows it. The poll
// loop takes a pending connection's reads and the metrics socket a scrape's through this.
inline void take_request_read(const std::uint8_t* buffer, std::uint32_t* fill,
                              std::uint32_t* header_end, std::uint32_t received) {
    if (*header_end == 0) *header_end = find_request_end(buffer, *fill, received);
    *fill += received;
}

// Test-mode payloads, as blockframe -t writes them and blockcheck checks them: the block's
// sequence number (u64), the wall-clock send time in nanoseconds (u64), then filler that
// depends on the sequence number and the place, so a listener can check order, measure delay
// and see a changed byte. The block's opaque field holds the low 32 bits of the sequence.
constexpr std::uint32_t TEST_PAYLOAD_MIN = 16;
inline std::uint8_t test_filler_byte(std::uint64_t sequence, std::uint32_t index) {
    return static_cast<std::uint8_t>('a' + (sequence + index) % 26);
}
