// SPDX-License-Identifier: MIT
#include "input_framing.h"

#include <cstddef>
#include <cstdint>

#include "wire.h"

std::size_t framing_advance(InputFraming* framing, const std::uint8_t* bytes, std::size_t n) {
    std::size_t first = n;
    std::size_t at = 0;
    while (at < n && framing->kind == BLOCK_STREAM) {
        if (framing->payload_left > 0) {
            // A payload passes unread: only its length matters.
            std::size_t take = n - at;
            if (take > framing->payload_left) take = framing->payload_left;
            framing->payload_left -= static_cast<std::uint32_t>(take);  // at most payload_left
            at += take;
            continue;
        }
        // A header, byte by byte: it may be split across any two reads.
        if (framing->header_fill == 0 && first == n) first = at;
        framing->header[framing->header_fill] = bytes[at];
        framing->header_fill += 1;
        at += 1;
        if ((framing->header_fill == 4 && !is_block_marker(framing->header)) ||
            (framing->header_fill == 8 && !block_frames_at(framing->header))) {
            framing->kind = PLAIN_BYTES;
        } else if (framing->header_fill == BLOCK_HEADER_SIZE) {
            framing->payload_left = read_block_header(framing->header).length;
            framing->header_fill = 0;
        }
    }
    // Plain input: the first byte read as plain is a place to go on from, like every later one.
    if (framing->kind == PLAIN_BYTES && first == n) first = at;
    return first;
}

bool framing_at_boundary(const InputFraming* framing) {
    return framing->kind == PLAIN_BYTES ||
           (framing->header_fill == 0 && framing->payload_left == 0);
}
