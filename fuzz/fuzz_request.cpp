// SPDX-License-Identifier: MIT
// Fuzz target: a pending connection fed in arbitrary read sizes, as the poll loop feeds it. The
// request-end search must find exactly the first CR LF CR LF however the bytes are split, and
// classification must follow its thresholds; nothing may be read outside the buffer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connections.h"
#include "players.h"
#include "poll_loop.h"

namespace {

// The first request end in buffer[0..fill), by the plainest search there is.
std::uint32_t first_end(const std::uint8_t* buffer, std::uint32_t fill) {
    for (std::uint32_t k = 0; k + 4 <= fill; ++k) {
        if (buffer[k] == '\r' && buffer[k + 1] == '\n' && buffer[k + 2] == '\r' &&
            buffer[k + 3] == '\n') {
            return k + 4;
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 2) return 0;
    // An exactly sized buffer, so that the address sanitizer sees any read past the fill.
    std::vector<std::uint8_t> bytes(in + 1, in + size);
    std::uint8_t split_seed = in[0];
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE);
    Connection c{};
    c.state = PENDING;
    c.buffer = buffer.data();
    std::size_t at = 0;
    std::uint32_t step = 0;
    while (at < bytes.size() && c.state == PENDING && c.fill < RECEIVE_BUFFER_SIZE) {
        // Read sizes from 1 to 16, or a large read, chosen by the seed and the step.
        std::size_t r =
            ((split_seed >> (step % 8)) & 1) != 0 ? 1 + (step * 7 + split_seed) % 16 : 4096;
        r = std::min(r, bytes.size() - at);
        r = std::min<std::size_t>(r, RECEIVE_BUFFER_SIZE - c.fill);
        std::memcpy(c.buffer + c.fill, bytes.data() + at, r);
        auto received = static_cast<std::uint32_t>(r);
        if (c.header_end == 0) c.header_end = find_request_end(c.buffer, c.fill, received);
        c.fill += received;
        at += r;
        step += 1;
        if (c.header_end != first_end(c.buffer, c.fill)) std::abort();
        ConnectionState next = classify(c);
        ConnectionState expected = PENDING;
        if (c.fill > CLASSIFY_THRESHOLD) {
            if (std::memcmp(c.buffer, "<BL>", 4) == 0) {
                expected = SOURCE;
            } else if (c.header_end != 0 || c.fill > REQUEST_LIMIT) {
                expected = PLAYER;
            }
        }
        if (next != expected) std::abort();
        c.state = next;
    }
    return 0;
}
