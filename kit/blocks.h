// SPDX-License-Identifier: MIT
#pragma once
// The stream's bytes as tests write and expect them: the relay's response header as a string,
// and block headers and blocks built from their fields. Header-only, so the unit tests use it
// without the process harness.

#include <cstdint>
#include <string>

#include "wire.h"

namespace testkit {

// The relay's 135-byte answer to every listener.
inline const std::string HEADER(RESPONSE_HEADER, RESPONSE_HEADER_SIZE);

// The 12 bytes of a block header: the marker, then length and opaque as given, whether or not a
// payload of that length follows.
inline std::string block_header(std::uint32_t length, std::uint32_t opaque = 0) {
    std::string h(BLOCK_HEADER_SIZE, '\0');
    write_block_header(reinterpret_cast<std::uint8_t*>(h.data()),
                       BlockHeader{BLOCK_MARKER, length, opaque});
    return h;
}

// A whole block: its header and the payload.
inline std::string make_block(const std::string& payload, std::uint32_t opaque = 0) {
    return block_header(static_cast<std::uint32_t>(payload.size()), opaque) + payload;
}

// A payload of n bytes that differs from block to block (seed) and position to position.
inline std::string pattern_payload(std::size_t n, std::uint32_t seed) {
    std::string s(n, '\0');
    std::uint32_t x = seed * 2654435761U + 1U;
    for (std::size_t i = 0; i < n; ++i) {
        x = x * 1103515245U + 12345U;
        s[i] = static_cast<char>('a' + (x >> 16) % 26);  // letters only: never a marker
    }
    return s;
}

// Blocks first..first+count-1 of a stream of pattern payloads, block k with payload seed and
// opaque field k.
inline std::string pattern_blocks(std::uint32_t first, std::uint32_t count, std::size_t payload) {
    std::string s;
    for (std::uint32_t k = first; k < first + count; ++k)
        s += make_block(pattern_payload(payload, k), k);
    return s;
}

// A block whose payload is `payload` copies of one byte.
inline std::string filled_block(std::uint32_t payload, char fill, std::uint32_t opaque = 0) {
    return block_header(payload, opaque) + std::string(payload, fill);
}

// A test block as `blockframe -t` writes it: the sequence number and the send time, then
// filler; the opaque field holds the sequence's low 32 bits. payload is at least 16.
inline std::string test_block(std::uint64_t sequence, std::uint32_t payload,
                              std::int64_t sent_wall_ns) {
    std::string b = block_header(payload, static_cast<std::uint32_t>(sequence));
    b.resize(BLOCK_HEADER_SIZE + payload, '\0');
    auto* p = reinterpret_cast<std::uint8_t*>(b.data()) + BLOCK_HEADER_SIZE;
    for (std::uint32_t i = TEST_PAYLOAD_MIN; i < payload; ++i) p[i] = test_filler_byte(sequence, i);
    write_u64_le(p, sequence);
    write_u64_le(p + 8, static_cast<std::uint64_t>(sent_wall_ns));
    return b;
}

}  // namespace testkit
