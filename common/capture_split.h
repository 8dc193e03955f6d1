// SPDX-License-Identifier: MIT
#pragma once
// capture_split: a listener's capture cut into its connections at the relay's response headers,
// one per connection, as the capture goes by in reads of any size. blockcheck judges each
// connection's blocks and `blockframe -d` takes their payloads; both split here, so that a
// header split across two reads, or a run of bytes that only begins one, is one case for both.

#include <cstddef>
#include <cstdint>

// A zeroed record splits a capture from its first byte.
struct CaptureSplit {
    // Bytes of the relay's header matched so far, held back: whether they are a connection's
    // start or its stream's bytes is known only once the header ends or fails to.
    std::uint32_t matched;
};

// What one call found at the front of the bytes it was given.
struct CapturePiece {
    // Bytes of the current connection's stream: a run of the input, or held-back bytes that
    // turned out to be no header (then they point into RESPONSE_HEADER). May be empty.
    const std::uint8_t* bytes;
    std::size_t size;
    bool header_ended;  // after these bytes a response header ended: a connection begins
};

// Takes bytes from the front of bytes[0..n): a run that begins no header, or the byte that goes
// on with one. Returns how many it took, and *piece what they, and any bytes held back before,
// give the current connection. It may take none when it only releases held-back bytes; a caller
// calls again until all n are taken.
std::size_t split_capture(CaptureSplit* split, const std::uint8_t* bytes, std::size_t n,
                          CapturePiece* piece);
// The capture has ended: the bytes held back began a header that never ended, and belong to the
// last connection's stream.
CapturePiece end_capture_split(CaptureSplit* split);
