// SPDX-License-Identifier: MIT
#pragma once
// input_framing: where block boundaries fall in feedsend's input, followed from the length fields
// as the input is read, so that a connection after a lost piece can start on a block's marker.
// It keeps one header's bytes and a count, never a block: blocks of any size cost the same.

#include <cstddef>
#include <cstdint>

#include "wire.h"

// BLOCK_STREAM until a header does not frame (no marker, or a length no relay can hold): at the
// input's start that means the input is no block stream, later that its framing has broken. Either
// way it is copied as it stands from then on, and a connection goes on with whatever byte comes
// next: no length field read after a broken one can be trusted, and a search for the next marker
// could stop inside a payload.
enum InputKind : std::int32_t { BLOCK_STREAM = 0, PLAIN_BYTES = 1 };

// A zeroed record stands at the input's start, a boundary.
struct InputFraming {
    InputKind kind;
    std::uint8_t header[BLOCK_HEADER_SIZE];  // the current block's header, header_fill bytes of it
    std::uint32_t header_fill;               // 0 at a boundary and while a payload passes
    std::uint32_t payload_left;              // payload bytes of the current block still to come
};

// Follows the framing over the next n bytes of input. Returns the offset among them of the first
// place a connection may begin: the first byte of a block header, or for plain input the first
// byte read as plain. Returns n when there is none among them (the bytes all belong to a block
// that began earlier); a boundary just after the last byte is offset 0 of the next call.
std::size_t framing_advance(InputFraming* framing, const std::uint8_t* bytes, std::size_t n);

// True when a connection may begin with the next byte of input.
bool framing_at_boundary(const InputFraming* framing);
