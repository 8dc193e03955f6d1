// Fuzz target: the stream window under any sequence of appends. The input is a list of
// operations; after each append the window's invariants must hold and window_read must stay
// inside data for any position and limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream_window.h"

namespace {

StreamWindow window;  // reused: only the bytes held are ever read
std::uint8_t chunk[WINDOW_APPEND_MAX];

void check(const StreamWindow& w, std::uint64_t base_before, std::uint64_t probe,
           std::uint32_t limit) {
    if (w.fill > WINDOW_CAPACITY) std::abort();
    if (w.base < base_before) std::abort();
    auto held = [&](std::uint64_t k) { return w.data[(w.start + k) % WINDOW_CAPACITY]; };
    auto marker_at = [&](std::uint64_t k) {
        std::uint8_t four[4] = {held(k), held(k + 1), held(k + 2), held(k + 3)};
        return is_block_marker(four);
    };
    if (w.start >= WINDOW_CAPACITY) std::abort();
    if (w.fill > 0 && (w.mode != FRAMED || !marker_at(0))) std::abort();
    // A new player starts inside the window, at a block's first byte when that has arrived.
    std::uint64_t join = window_join_point(w);
    if (join < w.base || join > w.base + w.fill) std::abort();
    if (join + 4 <= w.base + w.fill && !marker_at(join - w.base)) std::abort();
    if (w.mode == FRAMED && w.fill == 0) std::abort();
    const std::uint64_t positions[] = {
        w.base - 1, w.base, w.base + w.fill, w.base + w.fill - 1, w.base + probe % (w.fill + 1ULL),
        probe};
    for (std::uint64_t p : positions) {
        WindowPiece piece = window_read(w, p, limit);
        if (piece.answer != AVAILABLE) continue;
        if (piece.count == 0 || piece.count > limit) std::abort();
        if (piece.place < w.data || piece.place + piece.count > w.data + WINDOW_CAPACITY)
            std::abort();
        if (piece.place != &w.data[(w.start + (p - w.base)) % WINDOW_CAPACITY]) std::abort();
        if (p < w.base) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    std::size_t at = 0;
    auto take = [&](std::size_t n, std::uint64_t* v) {
        *v = 0;
        for (std::size_t k = 0; k < n; ++k)
            *v |= static_cast<std::uint64_t>(at < size ? in[at++] : 0) << (8 * k);
    };
    std::uint64_t start_base = 0;
    take(1, &start_base);
    // Start from base 0 or from one near 2^32, where a carry into the high half is tested.
    window.base = (start_base & 1) != 0 ? 0xFFFFFFFFULL - (start_base >> 1) * 4096 : 0;
    window.fill = 0;
    window.start = 0;
    window.last_block = 0;
    window.previous_block = WINDOW_NO_BLOCK;
    window.mode = SEEKING;
    window.carry = 0;
    window.skip_to = 0;
    while (at < size) {
        std::uint64_t op = 0;
        std::uint64_t len = 0;
        std::uint64_t value = 0;
        take(1, &op);
        take(2, &len);
        std::uint32_t n = static_cast<std::uint32_t>(len % WINDOW_APPEND_MAX) + 1;
        std::uint32_t repeat = 1;
        switch (op % 5) {
            case 0:  // raw bytes from the input
                for (std::uint32_t k = 0; k < n; ++k) chunk[k] = at < size ? in[at++] : 0;
                break;
            case 1:  // a block header with a chosen length, then filler
            case 2:
                take(4, &value);
                if (op % 5 == 2)
                    value = (value & 3) == 0   ? 0
                            : (value & 3) == 1 ? 1
                            : (value & 3) == 2 ? 0xFFFFFFFFULL
                                               : value;
                write_block_header(chunk,
                                   BlockHeader{BLOCK_MARKER, static_cast<std::uint32_t>(value), 0});
                if (n < BLOCK_HEADER_SIZE) n = BLOCK_HEADER_SIZE;
                std::memset(chunk + BLOCK_HEADER_SIZE, 'f', n - BLOCK_HEADER_SIZE);
                break;
            case 3:  // many large reads of filler: reaches the capacity rule
                std::memset(chunk, 'q', n);
                take(1, &value);
                repeat = static_cast<std::uint32_t>(value % 300) + 1;
                break;
            default:  // well-formed small blocks, several per read
                take(1, &value);
                for (std::uint32_t k = 0; k + BLOCK_HEADER_SIZE <= n;) {
                    std::uint32_t payload = static_cast<std::uint32_t>(value % 200);
                    std::uint32_t whole = BLOCK_HEADER_SIZE + payload;
                    if (k + whole > n) {
                        n = k == 0 ? n : k;
                        break;
                    }
                    write_block_header(chunk + k, BlockHeader{BLOCK_MARKER, payload, 0});
                    std::memset(chunk + k + BLOCK_HEADER_SIZE, 'b', payload);
                    k += whole;
                }
                break;
        }
        take(4, &value);
        if ((op & 0x80) != 0) {  // a new source takes the stream over before this append
            std::uint64_t before = window.base;
            std::uint64_t discarded = window_begin_source(window);
            if (discarded != WINDOW_NOTHING_DISCARDED && discarded < before) std::abort();
            check(window, before, value, 1460);
        }
        for (std::uint32_t r = 0; r < repeat; ++r) {
            std::uint64_t before = window.base;
            window_append(window, chunk, n);
            check(window, before, value, static_cast<std::uint32_t>(value % 3000) + 1);
        }
    }
    return 0;
}
