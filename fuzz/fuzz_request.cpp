// SPDX-License-Identifier: MIT
// Fuzz target: a pending connection fed in arbitrary read sizes, as the poll loop feeds it,
// through the relay's own request step and classification. The request end must be exactly the
// first CR LF CR LF however the bytes are split, classification must follow its thresholds, and
// nothing past the fill may count, however it reads.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "connections.h"
#include "players.h"
#include "wire.h"

namespace {

// The first request end in bytes[0..n), by the plainest search there is.
std::uint32_t first_end(const std::uint8_t* bytes, std::uint32_t n) {
    for (std::uint32_t k = 0; k + 4 <= n; ++k) {
        if (bytes[k] == '\r' && bytes[k + 1] == '\n' && bytes[k + 2] == '\r' &&
            bytes[k + 3] == '\n') {
            return k + 4;
        }
    }
    return 0;
}

// What a record's buffer holds past its fill before the run: request ends everywhere, so a
// search that looked past the fill would find one there.
std::uint8_t stale[RECEIVE_BUFFER_SIZE];
std::uint8_t buffer[RECEIVE_BUFFER_SIZE];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 2) return 0;
    if (stale[0] == 0) {
        for (std::uint32_t k = 0; k < RECEIVE_BUFFER_SIZE; ++k) stale[k] = k % 2 == 0 ? '\r' : '\n';
    }
    std::memcpy(buffer, stale, RECEIVE_BUFFER_SIZE);
    const std::uint8_t* bytes = in + 1;
    std::size_t length = size - 1;
    std::uint8_t split_seed = in[0];
    // The oracle, found once: the first end among all the bytes the record can hold. After each
    // read the record must report it once its fill has reached it, and 0 before.
    const std::uint32_t end = first_end(
        bytes, static_cast<std::uint32_t>(std::min<std::size_t>(length, RECEIVE_BUFFER_SIZE)));
    Connection c{};
    c.state = PENDING;
    c.buffer = buffer;
    std::size_t at = 0;
    std::uint32_t step = 0;
    while (at < length && c.state == PENDING && c.fill < RECEIVE_BUFFER_SIZE) {
        // Read sizes from 1 to 16, or a large read, chosen by the seed and the step.
        std::size_t r =
            ((split_seed >> (step % 8)) & 1) != 0 ? 1 + (step * 7 + split_seed) % 16 : 4096;
        r = std::min(r, length - at);
        r = std::min<std::size_t>(r, RECEIVE_BUFFER_SIZE - c.fill);
        std::memcpy(c.buffer + c.fill, bytes + at, r);
        take_request_read(c.buffer, &c.fill, &c.header_end, static_cast<std::uint32_t>(r));
        at += r;
        step += 1;
        std::uint32_t expected_end = end != 0 && end <= c.fill ? end : 0;
        if (c.header_end != expected_end) std::abort();
        ConnectionState next = classify(c);
        ConnectionState expected = PENDING;
        if (c.fill > CLASSIFY_THRESHOLD) {
            if (std::memcmp(c.buffer, "<BL>", 4) == 0) {
                expected = SOURCE;
            } else if (expected_end != 0 || c.fill > REQUEST_LIMIT) {
                expected = PLAYER;
            }
        }
        if (next != expected) std::abort();
        c.state = next;
    }
    return 0;
}
