#include "stream_window.h"

#include <cstring>

namespace {

StreamWindow the_window;  // 16 MiB, zero at start (empty, base 0, SEEKING), never freed

std::uint64_t block_size_at(const StreamWindow& w, std::uint64_t offset) {
    // 64 bits: a length near 2^32 plus the header must not wrap.
    return static_cast<std::uint64_t>(read_u32_le(w.data + offset + 4)) + BLOCK_HEADER_SIZE;
}

// Drops the first n bytes held, which end at a block boundary.
void drop_front(StreamWindow& w, std::uint32_t n) {
    std::memmove(w.data, w.data + n, w.fill - n);  // the ranges overlap
    w.base += n;
    w.fill -= n;
}

void store(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    if (len == 0) return;  // bytes may then be null, which memcpy must not be given
    std::memcpy(w.data + w.fill, bytes, len);
    w.fill += len;
}

// Whether a block marker begins at offset `at` of the held bytes followed by the append.
bool marker_at(const StreamWindow& w, std::uint64_t at, const std::uint8_t* bytes,
               std::uint32_t len) {
    if (at + 4 > static_cast<std::uint64_t>(w.fill) + len) return false;  // cannot tell yet
    std::uint8_t four[4];
    for (std::uint32_t k = 0; k < 4; ++k) {
        std::uint64_t o = at + k;
        four[k] = o < w.fill ? w.data[o] : bytes[o - w.fill];
    }
    return is_block_marker(four);
}

// SEEKING: looks for a marker in the carried bytes followed by the append, discards what lies
// before it and holds the rest, which now begins a block. Without a marker, everything is
// discarded but a tail that could begin one. The carry is at most 3 bytes, or what was held
// when a first block turned out too large.
void seek_marker(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    const std::uint32_t carry = w.carry;
    const std::uint64_t total = static_cast<std::uint64_t>(carry) + len;
    auto at = [&](std::uint64_t k) { return k < carry ? w.data[k] : bytes[k - carry]; };
    auto marker_from = [&](std::uint64_t k, std::uint64_t n) {  // the first n bytes of one
        for (std::uint64_t j = 0; j < n; ++j) {
            if (at(k + j) != static_cast<std::uint8_t>(BLOCK_MARKER >> (8 * j))) return false;
        }
        return true;
    };
    // A marker whose block declares more than the window can ever hold is no block: taking it
    // would only hold the stream up until all of its length had gone by.
    auto too_large = [&](std::uint64_t k) {
        if (k + 8 > total) return false;  // its length is not here yet
        std::uint8_t length[4] = {at(k + 4), at(k + 5), at(k + 6), at(k + 7)};
        return read_u32_le(length) + static_cast<std::uint64_t>(BLOCK_HEADER_SIZE) >
               WINDOW_CAPACITY;
    };
    std::uint64_t k = 0;
    while (k + 4 <= total && (!marker_from(k, 4) || too_large(k))) ++k;
    if (k + 4 <= total) {
        if (k < carry) {
            std::memmove(w.data, w.data + k, carry - k);
            w.fill = static_cast<std::uint32_t>(carry - k);
            store(w, bytes, len);
        } else {
            w.fill = 0;
            store(w, bytes + (k - carry), len - static_cast<std::uint32_t>(k - carry));
        }
        w.base += k;
        w.carry = 0;
        w.mode = FRAMED;
        return;
    }
    std::uint64_t keep = total < 3 ? total : 3;
    while (keep > 0 && !marker_from(total - keep, keep)) --keep;
    std::uint8_t tail[3];
    for (std::uint64_t j = 0; j < keep; ++j) tail[j] = at(total - keep + j);
    std::memcpy(w.data, tail, keep);
    w.base += total - keep;
    w.carry = static_cast<std::uint32_t>(keep);
}

// SKIPPING: the window is empty and base is the offset of the next byte. Discards the rest of
// the oversized block; a block should begin right after it, and seeking finds it if it does.
void skip_block(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    std::uint64_t left = w.skip_to - w.base;
    std::uint32_t skipped = left < len ? static_cast<std::uint32_t>(left) : len;
    w.base += skipped;
    if (w.base == w.skip_to) {
        w.mode = SEEKING;
        w.carry = 0;
        if (skipped < len) seek_marker(w, bytes + skipped, len - skipped);
    }
}

// The append does not fit behind what is held. Whole blocks go from the front, as long as the
// window still begins with a marked block afterwards, until it fits. When even that cannot make
// room (the first block, with this read, does not fit in the window), everything held is
// discarded, the rest of that block (at most the window's size) is skipped as it arrives, and
// the window starts again at the next block marker. base moves past every discarded byte, so
// every player with a position in them falls behind the window and is dropped: none is sent a
// block cut short.
void make_room(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    std::uint64_t cut = 0;  // offset of the first block that stays
    while (static_cast<std::uint64_t>(w.fill - cut) + len > WINDOW_CAPACITY &&
           cut + BLOCK_HEADER_SIZE <= w.fill) {
        std::uint64_t next = cut + block_size_at(w, cut);
        if (next > w.fill || !marker_at(w, next, bytes, len)) break;
        cut = next;
    }
    if (static_cast<std::uint64_t>(w.fill - cut) + len <= WINDOW_CAPACITY) {
        drop_front(w, static_cast<std::uint32_t>(cut));  // may empty it: the append starts a block
        store(w, bytes, len);
        return;
    }
    std::uint64_t held_end = w.base + w.fill;
    std::uint64_t block_end =
        cut + BLOCK_HEADER_SIZE <= w.fill ? w.base + cut + block_size_at(w, cut) : held_end;
    w.base = held_end;
    w.fill = 0;
    w.carry = 0;
    if (block_end > held_end) {
        w.mode = SKIPPING;
        w.skip_to = block_end;
        skip_block(w, bytes, len);
    } else {
        w.mode = SEEKING;
        seek_marker(w, bytes, len);
    }
}

// FRAMED: the drop-and-cut rule. Only the first two blocks are looked at, and at most one is
// dropped; the appended bytes are only counted, never examined.
void append_framed(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    if (w.fill >= BLOCK_HEADER_SIZE) {
        std::uint64_t next = block_size_at(w, 0);  // where the second block begins
        // Only with more than a bare header behind the first block is anything tested.
        if (w.fill > next + BLOCK_HEADER_SIZE) {
            if (!is_block_marker(w.data + next) || block_size_at(w, next) > WINDOW_CAPACITY) {
                // What follows the first block does not frame (no marker, or a length no window
                // can hold): it is cut away.
                w.fill = static_cast<std::uint32_t>(next);
            } else if (static_cast<std::uint64_t>(w.fill - next) + len >= block_size_at(w, next)) {
                // The second block is complete once this append is in: the first one goes.
                drop_front(w, static_cast<std::uint32_t>(next));
            }
        }
    }
    if (static_cast<std::uint64_t>(w.fill) + len > WINDOW_CAPACITY) {
        make_room(w, bytes, len);
        return;
    }
    store(w, bytes, len);
    if (w.fill >= 8 && block_size_at(w, 0) > WINDOW_CAPACITY) {
        // The first block's length has just arrived, and it is more than the window can ever
        // hold: no block begins here. Seeking goes on from the byte after its marker.
        std::memmove(w.data, w.data + 1, w.fill - 1);
        w.base += 1;
        w.carry = w.fill - 1;
        w.fill = 0;
        w.mode = SEEKING;
        seek_marker(w, nullptr, 0);
    }
}

}  // namespace

void window_append(StreamWindow& window, const std::uint8_t* bytes, std::uint32_t len) {
    while (len > 0) {
        std::uint32_t piece = len < WINDOW_APPEND_MAX ? len : WINDOW_APPEND_MAX;
        if (window.mode == FRAMED) {
            append_framed(window, bytes, piece);
        } else if (window.mode == SKIPPING) {
            skip_block(window, bytes, piece);
        } else {
            seek_marker(window, bytes, piece);
        }
        bytes += piece;
        len -= piece;
    }
}

WindowPiece window_read(const StreamWindow& window, std::uint64_t position, std::uint32_t limit) {
    if (position < window.base) return WindowPiece{BEHIND, nullptr, 0};
    std::uint64_t end = window.base + window.fill;
    // A first block is served only once its length is known to be one the window can hold.
    if (position >= end || window.fill < 8) return WindowPiece{NOTHING_NEW, nullptr, 0};
    std::uint64_t n = end - position < limit ? end - position : limit;
    return WindowPiece{AVAILABLE, window.data + (position - window.base),
                       static_cast<std::uint32_t>(n)};
}

void window_append(const std::uint8_t* bytes, std::uint32_t len) {
    window_append(the_window, bytes, len);
}

WindowPiece window_read(std::uint64_t position, std::uint32_t limit) {
    return window_read(the_window, position, limit);
}

std::uint64_t window_base() { return the_window.base; }

const StreamWindow& server_window() { return the_window; }
