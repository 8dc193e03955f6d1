// SPDX-License-Identifier: MIT
#include "capture_split.h"

#include <array>
#include <cstring>

#include "wire.h"

namespace {

// Where a partial match of the relay's header goes on after a mismatch (Knuth-Morris-Pratt):
// FALLBACK[q] is the longest proper prefix of the header's first q + 1 bytes that is also their
// suffix. A capture that holds a prefix of the header before the real one is split right.
constexpr std::array<std::uint32_t, RESPONSE_HEADER_SIZE> make_fallback() {
    std::array<std::uint32_t, RESPONSE_HEADER_SIZE> f{};
    std::uint32_t k = 0;
    for (std::uint32_t q = 1; q < RESPONSE_HEADER_SIZE; ++q) {
        while (k > 0 && RESPONSE_HEADER[q] != RESPONSE_HEADER[k]) k = f[k - 1];
        if (RESPONSE_HEADER[q] == RESPONSE_HEADER[k]) ++k;
        f[q] = k;
    }
    return f;
}
constexpr std::array<std::uint32_t, RESPONSE_HEADER_SIZE> FALLBACK = make_fallback();

const std::uint8_t* header_bytes() {
    return reinterpret_cast<const std::uint8_t*>(RESPONSE_HEADER);
}

}  // namespace

std::size_t split_capture(CaptureSplit* split, const std::uint8_t* bytes, std::size_t n,
                          CapturePiece* piece) {
    *piece = CapturePiece{};
    if (n == 0) return 0;
    const std::uint8_t* header = header_bytes();
    // Outside a match, every byte up to the next that could begin the header passes at once.
    if (split->matched == 0) {
        const void* start = std::memchr(bytes, header[0], n);
        std::size_t run =
            start == nullptr
                ? n
                : static_cast<std::size_t>(static_cast<const std::uint8_t*>(start) - bytes);
        if (run > 0) {
            *piece = CapturePiece{bytes, run, false};
            return run;
        }
    }
    std::uint8_t byte = bytes[0];
    std::uint32_t q = split->matched;
    while (q > 0 && header[q] != byte) q = FALLBACK[q - 1];
    if (header[q] == byte) ++q;
    if (q == RESPONSE_HEADER_SIZE) {
        split->matched = 0;
        piece->header_ended = true;
        return 1;
    }
    if (q == 0) {
        // The byte goes on with no match: the held bytes are the stream's, and the byte is
        // taken by the next call, outside a match.
        *piece = CapturePiece{header, split->matched, false};
        split->matched = 0;
        return 0;
    }
    // The held bytes and this one, less the q that still match: the oldest are released.
    *piece = CapturePiece{header, split->matched + 1 - q, false};
    split->matched = q;
    return 1;
}

CapturePiece end_capture_split(CaptureSplit* split) {
    CapturePiece piece{header_bytes(), split->matched, false};
    split->matched = 0;
    return piece;
}
