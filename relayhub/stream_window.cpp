// SPDX-License-Identifier: MIT
#include "stream_window.h"

#include <cstring>

namespace {

StreamWindow the_window;  // zero at start (empty, base 0, SEEKING), never freed

constexpr std::uint32_t RING_MASK = WINDOW_CAPACITY - 1;

// The index in data of the k-th byte held (k below WINDOW_CAPACITY).
std::uint32_t index_of(const StreamWindow& w, std::uint64_t k) {
    return static_cast<std::uint32_t>((w.start + k) & RING_MASK);
}

std::uint8_t byte_at(const StreamWindow& w, std::uint64_t k) { return w.data[index_of(w, k)]; }

constexpr auto MARKER_FIRST = static_cast<std::uint8_t>(BLOCK_MARKER);

// Whether a block begins at the 8 header bytes given: the one rule, block_frames_at, and a size
// the window can hold. The relay's window holds RELAY_BLOCK_MAX, so there the second test never
// decides; a window built smaller frames only what it can hold, as the relay's does, and so
// its every rule below keeps its cases.
bool frames_in_window(const std::uint8_t* head) {
    return block_frames_at(head) && block_length_fits(read_u32_le(head + 4), WINDOW_CAPACITY);
}

// Whether a block may begin at k of a sequence of total bytes read through at(): the one rule,
// frames_in_window, on its first 8 bytes, or while fewer are here, as far as they go a marker.
// Every place that decides where a block begins asks this, or frames_held_at.
template <typename At>
bool may_begin_block(const At& at, std::uint64_t k, std::uint64_t total) {
    std::uint8_t head[8];
    std::uint64_t n = total - k < 8 ? total - k : 8;
    for (std::uint64_t j = 0; j < n; ++j) head[j] = at(k + j);
    if (n == 8) return frames_in_window(head);
    for (std::uint64_t j = 0; j < n && j < 4; ++j) {
        if (head[j] != static_cast<std::uint8_t>(BLOCK_MARKER >> (8 * j))) return false;
    }
    return true;
}

// Whether a block frames at the k-th byte held, whose 8 header bytes are all held.
bool frames_held_at(const StreamWindow& w, std::uint64_t k) {
    std::uint8_t head[8];
    for (std::uint32_t j = 0; j < 8; ++j) head[j] = byte_at(w, k + j);
    return frames_in_window(head);
}

// The size of the block whose header is the k-th byte held onward (its first 8 bytes held).
std::uint64_t block_size_at(const StreamWindow& w, std::uint64_t k) {
    std::uint8_t length[4] = {byte_at(w, k + 4), byte_at(w, k + 5), byte_at(w, k + 6),
                              byte_at(w, k + 7)};
    // 64 bits: a length near 2^32 plus the header must not wrap.
    return static_cast<std::uint64_t>(read_u32_le(length)) + BLOCK_HEADER_SIZE;
}

void note_discard(std::uint64_t* discarded, std::uint64_t from) {
    if (from < *discarded) *discarded = from;
}

// An empty window restarts at data[0]: seeking keeps its carry there, and a first block then
// lies unwrapped from data[0] until the ring has gone round once.
void make_empty(StreamWindow& w) {
    w.fill = 0;
    w.start = 0;
}

// Drops the first n bytes held, which end at a block boundary. Nothing moves, but for the
// compaction below.
void drop_front(StreamWindow& w, std::uint32_t n) {
    w.start = index_of(w, n);
    w.base += n;
    w.fill -= n;
    if (w.fill == 0) make_empty(w);
    // Compaction: a ring that only ever moved on would walk through all of data, and every page
    // it touched would stay resident, 16 MiB on any stream after enough of it has gone by, while
    // the window holds a few blocks. Once the start lies WINDOW_COMPACT_AT or more into data and
    // the window holds no more than an eighth of that distance, what it holds moves back to
    // data[0]. So the pages touched stay within the larger of WINDOW_COMPACT_AT and nine times
    // what is held, plus one append, and a move of k bytes follows at least 8k bytes of stream
    // and at least WINDOW_COMPACT_AT: the few KB a steady stream holds, once per MiB of it.
    // Absolute offsets do not change, so no player notices.
    if (w.start >= WINDOW_COMPACT_AT && w.fill <= w.start / 8 &&
        w.start + w.fill <= WINDOW_CAPACITY) {
        std::memmove(w.data, w.data + w.start, w.fill);
        w.start = 0;
    }
}

// Copies len bytes in behind what is held, in two parts where the ring wraps. The caller has
// made sure they fit.
void store(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    if (len == 0) return;  // bytes may then be null, which memcpy must not be given
    std::uint32_t at = index_of(w, w.fill);
    std::uint32_t first = WINDOW_CAPACITY - at < len ? WINDOW_CAPACITY - at : len;
    std::memcpy(w.data + at, bytes, first);
    std::memcpy(w.data, bytes + first, len - first);
    w.fill += len;
}

// Keeps last_block and previous_block up with the held bytes: walks on from the newest block
// seen over every following block whose marker and length have arrived. A boundary that does
// not frame stops the walk; the cut rule takes what lies behind it away at the next append.
// Each header is visited once, so this costs a few bytes per block, not per byte. Every block
// from base to last_block has thereby been seen to frame.
void track_blocks(StreamWindow& w) {
    if (w.fill == 0) return;
    if (w.last_block < w.base || w.last_block >= w.base + w.fill) {
        // A front drop passed it, or a cut took it away: start again from the first block.
        w.last_block = w.base;
        w.previous_block = WINDOW_NO_BLOCK;
    }
    if (w.previous_block != WINDOW_NO_BLOCK && w.previous_block < w.base) {
        w.previous_block = WINDOW_NO_BLOCK;
    }
    for (;;) {
        std::uint64_t k = w.last_block - w.base;
        if (k + 8 > w.fill) return;
        std::uint64_t next = k + block_size_at(w, k);
        if (next + 8 > w.fill) return;  // the next block's length has not arrived yet
        if (!frames_held_at(w, next)) return;
        w.previous_block = w.last_block;
        w.last_block = w.base + next;
    }
}

// Whether a block frames at offset `at` of the held bytes followed by the append; false while
// its 8 header bytes have not all arrived.
bool frames_across(const StreamWindow& w, std::uint64_t at, const std::uint8_t* bytes,
                   std::uint32_t len) {
    if (at + 8 > static_cast<std::uint64_t>(w.fill) + len) return false;  // cannot tell yet
    std::uint8_t head[8];
    for (std::uint32_t k = 0; k < 8; ++k) {
        std::uint64_t o = at + k;
        head[k] = o < w.fill ? byte_at(w, o) : bytes[o - w.fill];
    }
    return frames_in_window(head);
}

// SEEKING: looks for a marker in the carried bytes followed by the append, discards what lies
// before it and holds the rest, which now begins a block. Without a marker, everything is
// discarded but a tail that could begin one. The carry is at most 3 bytes, or what was held
// when a first block turned out too large; either lies at data[0] (the window is empty).
void seek_marker(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len) {
    const std::uint32_t carry = w.carry;
    const std::uint64_t total = static_cast<std::uint64_t>(carry) + len;
    auto at = [&](std::uint64_t k) { return k < carry ? w.data[k] : bytes[k - carry]; };
    // A marker whose block declares more than the window can ever hold is no block: taking it
    // would only hold the stream up until all of its length had gone by.
    std::uint64_t k = 0;
    while (k + 4 <= total && (at(k) != MARKER_FIRST || !may_begin_block(at, k, total))) ++k;
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
        w.last_block = w.base;
        w.previous_block = WINDOW_NO_BLOCK;
        track_blocks(w);
        return;
    }
    std::uint64_t keep = total < 3 ? total : 3;
    while (keep > 0 && !may_begin_block(at, total - keep, total)) --keep;
    std::uint8_t tail[3];
    for (std::uint64_t j = 0; j < keep; ++j) tail[j] = at(total - keep + j);
    std::memcpy(w.data, tail, keep);
    w.base += total - keep;
    w.carry = static_cast<std::uint32_t>(keep);
}

// The append does not fit behind what is held. Whole blocks go from the front, as long as the
// window still begins with a block that frames afterwards, until it fits. When even that cannot
// make room (the first block, with this read, does not fit in the window), everything held is
// discarded, the rest of that block is skipped, and the window starts again at the next block
// marker. That rest lies within this read: the block frames, so it is no larger than the
// window, and it did not fit together with the read. base moves past every discarded byte, so
// every player with a position in them falls behind the window and is dropped, and one that
// had been sent all of them is told of the discard: none is sent a block cut short.
void make_room(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len,
               std::uint64_t* discarded) {
    std::uint64_t cut = 0;  // offset of the first block that stays
    while (static_cast<std::uint64_t>(w.fill - cut) + len > WINDOW_CAPACITY &&
           cut + BLOCK_HEADER_SIZE <= w.fill) {
        std::uint64_t next = cut + block_size_at(w, cut);
        if (next > w.fill || !frames_across(w, next, bytes, len)) break;
        cut = next;
    }
    if (static_cast<std::uint64_t>(w.fill - cut) + len <= WINDOW_CAPACITY) {
        drop_front(w, static_cast<std::uint32_t>(cut));  // may empty it: the append starts a block
        store(w, bytes, len);
        track_blocks(w);
        return;
    }
    note_discard(discarded, w.base + cut);
    std::uint64_t held_end = w.base + w.fill;
    // The header at cut is held whole: a block with fewer than 8 bytes held and this read fit.
    std::uint64_t block_end = w.base + cut + block_size_at(w, cut);
    std::uint64_t rest = block_end > held_end ? block_end - held_end : 0;
    std::uint32_t skipped = rest < len ? static_cast<std::uint32_t>(rest) : len;
    w.base = held_end + skipped;
    make_empty(w);
    w.carry = 0;
    w.mode = SEEKING;
    seek_marker(w, bytes + skipped, len - skipped);
}

// The held bytes from `from` on begin no block (track_blocks stopped there: no marker, or a
// length no window can hold). They are cut away, and with them whatever follows up to the next
// place a block may begin, among the held bytes or in the append: seeking goes on from the next
// marker, so one bad length field costs the bytes up to the next block, not the stream up to a
// read that happens to begin with a marker. Returns how many bytes at the append's front go too.
std::uint32_t resync_after(StreamWindow& w, std::uint64_t from, const std::uint8_t* bytes,
                           std::uint32_t len, std::uint64_t* discarded) {
    note_discard(discarded, w.base + from);
    const std::uint64_t after = w.fill - from;  // held bytes from `from` on
    const std::uint64_t total = after + len;
    auto at = [&](std::uint64_t k) { return k < after ? byte_at(w, from + k) : bytes[k - after]; };
    std::uint64_t k = 1;  // `from` itself frames nothing
    while (k < total && (at(k) != MARKER_FIRST || !may_begin_block(at, k, total))) ++k;
    if (k < after) {
        // The held bytes from k on move down to `from`: forward, as they move to lower offsets.
        for (std::uint64_t j = k; j < after; ++j) {
            w.data[index_of(w, from + j - k)] = byte_at(w, from + j);
        }
        w.fill = static_cast<std::uint32_t>(from + after - k);
        return 0;
    }
    w.fill = static_cast<std::uint32_t>(from);
    return static_cast<std::uint32_t>(k - after);  // at most len
}

// Whether the two blocks after the first are complete in what is held. Their headers have
// framed when last_block has reached the third.
bool two_complete_blocks_follow_first(const StreamWindow& w) {
    std::uint64_t newest = w.last_block - w.base;
    std::uint64_t second = block_size_at(w, 0);
    if (second > newest) return false;
    std::uint64_t third = second + block_size_at(w, second);
    if (third > newest) return false;
    return third + block_size_at(w, third) <= w.fill;
}

// FRAMED: the drop-and-cut rule, which decides when a listener is dropped. A listener that
// keeps up is sent a piece of 1,460 bytes every pass while it has bytes to send, so it trails
// the end by what arrived since it last had nothing left to send, less a piece a pass. For a
// stream below the ceiling that reaches the relay on time that is about a block: a producer
// writes a whole block at once, `feedsend` holds a block's tail back until the next block's
// head fills its piece, and one read may bring either burst.
// - Drop: the first block goes at an append that finds two complete blocks behind it in what
//   is held, before the append is stored; at most one block goes per append. The append itself
//   is not looked at, so how the source's bytes are grouped into reads changes nothing: a
//   listener is behind the dropped block only if it trails the end by more than the two whole
//   blocks behind it, twice what one that keeps up trails by. No read drops a block on account
//   of the bytes it brings, so a burst that completes the next block while a listener at live
//   still has the last piece of the one before to send (7,300 bytes completing an 8,012-byte
//   block, say) costs that listener nothing.
// - Reads that bring several blocks each still shed one per append, so the window grows, up to
//   the capacity rule, and its first block lies ever further behind live.
// - Cut: bytes behind the newest framed block that are seen not to frame are cut away at the
//   next append, before anything is dropped, together with what follows them up to the next
//   place a block may begin, held or in the append (resync_after); an append whose first bytes
//   would be the ones behind that block is judged before it is stored. Cut bytes belong to no
//   block: a listener that was sent any of them is told of the discard and dropped (it
//   reconnects to a whole stream), and the join point never lies in them.
// - Capacity: an append that does not fit behind what is held drops whole blocks from the
//   front, as many as it takes (make_room). A listener is behind one of them only if it trails
//   the end by more than the window less that block and the read: with blocks under about
//   4 MiB that needs megabytes, since only reads that bring several blocks each fill it.
// Cost: while reads bring at most a block each, the window holds up to three complete blocks
// and part of a fourth (under 17.5 KB of 4,380-byte blocks, 32 KB of 8,012-byte ones), and a
// block is held for about three block intervals from its first byte: 94 ms at 140,000 B/s in
// 4,380-byte blocks, 0.8 s at 16,000 B/s.
void append_framed(StreamWindow& w, const std::uint8_t* bytes, std::uint32_t len,
                   std::uint64_t* discarded) {
    // The cut: behind the newest block that frames, bytes that are seen to begin no block go, up
    // to the next place a block may begin; this read's bytes count when they are the first
    // behind it, so that they are never held, nor served, only to be cut.
    std::uint64_t newest = w.last_block - w.base;
    std::uint64_t next = newest + block_size_at(w, newest);
    auto at = [&](std::uint64_t k) { return k < w.fill ? byte_at(w, k) : bytes[k - w.fill]; };
    if (newest + 8 <= w.fill && next <= w.fill && next < w.fill + static_cast<std::uint64_t>(len) &&
        !may_begin_block(at, next, w.fill + static_cast<std::uint64_t>(len))) {
        std::uint32_t skipped = resync_after(w, next, bytes, len, discarded);
        bytes += skipped;
        len -= skipped;
    }
    if (two_complete_blocks_follow_first(w)) {
        drop_front(w, static_cast<std::uint32_t>(block_size_at(w, 0)));  // at most WINDOW_CAPACITY
    }
    if (static_cast<std::uint64_t>(w.fill) + len > WINDOW_CAPACITY) {
        make_room(w, bytes, len, discarded);
        return;
    }
    store(w, bytes, len);
    if (w.fill >= 8 && !frames_held_at(w, 0)) {
        // The first block's length has just arrived, and it is more than the window can ever
        // hold: no block begins here. Seeking goes on from the byte after its marker. These
        // bytes were never served (a first block is served only once its length is here), and
        // they lie unwrapped from data[start]: the window was empty before they came.
        note_discard(discarded, w.base);
        std::memmove(w.data, w.data + w.start + 1, w.fill - 1);
        w.base += 1;
        w.carry = w.fill - 1;
        make_empty(w);
        w.mode = SEEKING;
        seek_marker(w, nullptr, 0);
        return;
    }
    track_blocks(w);
}

// The end of the last complete block from base on (absolute), walking the held blocks that frame.
std::uint64_t complete_blocks_end(const StreamWindow& w) {
    std::uint64_t k = 0;
    while (k + 8 <= w.fill && frames_held_at(w, k) && k + block_size_at(w, k) <= w.fill) {
        k += block_size_at(w, k);
    }
    return w.base + k;
}

// Counts the blocks that have become complete: from the end of the last one counted (or from
// base, once a drop, a cut or the capacity rule has passed it), every following block whose
// header frames and whose last byte is held. The walk stops at the first block still arriving,
// so it visits a header or two per append.
void count_complete_blocks(StreamWindow& w) {
    if (w.mode != FRAMED) return;
    std::uint64_t end = w.base + w.fill;
    std::uint64_t k =
        w.complete_end >= w.base && w.complete_end <= end ? w.complete_end - w.base : 0;
    while (k + 8 <= w.fill && frames_held_at(w, k) && k + block_size_at(w, k) <= w.fill) {
        k += block_size_at(w, k);
        w.complete_blocks += 1;
    }
    w.complete_end = w.base + k;
}

}  // namespace

std::uint64_t window_append(StreamWindow& window, const std::uint8_t* bytes, std::uint32_t len) {
    std::uint64_t discarded = WINDOW_NOTHING_DISCARDED;
    while (len > 0) {
        std::uint32_t piece = len < WINDOW_APPEND_MAX ? len : WINDOW_APPEND_MAX;
        if (window.mode == FRAMED) {
            append_framed(window, bytes, piece, &discarded);
        } else {
            seek_marker(window, bytes, piece);
        }
        bytes += piece;
        len -= piece;
    }
    count_complete_blocks(window);
    return discarded;
}

std::uint64_t window_begin_source(StreamWindow& w) {
    if (w.mode != FRAMED) {
        // Nothing is held. Bytes carried while seeking were the old source's: the new one's
        // marker is the next block.
        w.base += w.carry;
        w.carry = 0;
        w.mode = SEEKING;
        return WINDOW_NOTHING_DISCARDED;
    }
    // The walk over headers has passed only complete blocks, so previous_block is complete and
    // last_block begins where it ends.
    std::uint64_t keep = 0;  // bytes held up to the end of the newest complete block
    std::uint64_t k = w.last_block - w.base;
    if (k + 8 <= w.fill && k + block_size_at(w, k) <= w.fill) {
        keep = k + block_size_at(w, k);
    } else if (w.previous_block != WINDOW_NO_BLOCK) {
        keep = k;
        w.last_block = w.previous_block;
        w.previous_block = WINDOW_NO_BLOCK;
    }
    if (keep == w.fill) return WINDOW_NOTHING_DISCARDED;  // the old source ended at a boundary
    std::uint64_t discarded = w.base + keep;
    if (keep == 0) {
        // Not even the first block was complete: the window starts again with the new source
        // at the same base, which players sent none of the discarded bytes still stand at.
        make_empty(w);
        w.mode = SEEKING;
    } else {
        w.fill = static_cast<std::uint32_t>(keep);
    }
    return discarded;
}

WindowPiece window_read(const StreamWindow& window, std::uint64_t position, std::uint32_t limit) {
    if (position < window.base) return WindowPiece{BEHIND, nullptr, 0};
    std::uint64_t end = window.base + window.fill;
    // A first block is served only once its length is known to be one the window can hold.
    if (position >= end || window.fill < 8) return WindowPiece{NOTHING_NEW, nullptr, 0};
    std::uint32_t at = index_of(window, position - window.base);
    std::uint64_t n = end - position < limit ? end - position : limit;
    if (n > WINDOW_CAPACITY - at) n = WINDOW_CAPACITY - at;  // the rest is at data[0]
    return WindowPiece{AVAILABLE, window.data + at, static_cast<std::uint32_t>(n)};
}

// Where a new player starts: the newest block whose marker and length have arrived, the one
// arriving now or, when the next has not begun, the newest complete one; base while the window
// holds no block (empty and seeking), so a player that joins before any source gets
// the stream from its first byte.
// - The player then trails the end by no more than what has arrived of that block, like a
//   listener at live that was sent everything before it, and the rule's cases hold for it
//   unchanged: its block goes only once two complete blocks follow it.
// - Its first whole block is the newest there is, so it is as fresh as the source makes it.
//   Starting at an older complete block would bring a whole block sooner but an older one, and
//   leave the player further behind the end for good: it catches up only at the difference
//   between the ceiling and the stream's rate.
// - The block at last_block has been seen to frame, so the player never starts in bytes the
//   cut rule will take away.
std::uint64_t window_join_point(const StreamWindow& window) {
    if (window.mode != FRAMED) return window.base;
    return window.last_block;
}

std::uint64_t window_append(const std::uint8_t* bytes, std::uint32_t len) {
    return window_append(the_window, bytes, len);
}

std::uint64_t window_join_point() { return window_join_point(the_window); }

std::uint64_t window_begin_source() { return window_begin_source(the_window); }

const StreamWindow& server_window() { return the_window; }

void put_window(HandoverImage& image, const StreamWindow& window) {
    put_u32(image, window.mode);
    put_u64(image, window.base);
    put_u32(image, window.fill);
    put_u32(image, window.carry);
    put_u64(image, window.complete_blocks);
    // Held bytes in stream order, where the ring wraps too; while seeking, the carry at data[0].
    std::uint32_t first =
        WINDOW_CAPACITY - window.start < window.fill ? WINDOW_CAPACITY - window.start : window.fill;
    put_bytes(image, window.data + window.start, first);
    put_bytes(image, window.data, window.fill - first);
    put_bytes(image, window.data, window.mode == SEEKING ? window.carry : 0);
}

bool take_window(HandoverReader& reader, StreamWindow& window) {
    std::uint32_t mode = take_u32(reader);
    window.base = take_u64(reader);
    window.fill = take_count(reader, WINDOW_CAPACITY);
    window.carry = take_count(reader, WINDOW_CAPACITY);
    window.complete_blocks = take_u64(reader);
    if (reader.failed || (mode != SEEKING && mode != FRAMED)) return false;
    window.mode = static_cast<WindowMode>(mode);
    // Seeking holds nothing; framed carries nothing.
    if (window.mode == SEEKING ? window.fill != 0 : window.carry != 0) return false;
    // The offsets only ever grow, and stay far from their wrap.
    if (window.base > UINT64_MAX / 2) return false;
    std::uint32_t held = window.mode == SEEKING ? window.carry : window.fill;
    prefault(window.data, held);  // the next program's window is fresh memory
    take_bytes(reader, window.data, held);
    if (reader.failed) return false;
    window.start = 0;
    if (window.mode == FRAMED && window.fill >= 8 && !frames_held_at(window, 0)) return false;
    window.last_block = window.base;
    window.previous_block = WINDOW_NO_BLOCK;
    track_blocks(window);
    window.complete_end = complete_blocks_end(window);
    return true;
}

void put_server_window(HandoverImage& image) { put_window(image, the_window); }

bool take_server_window(HandoverReader& reader) {
    if (take_window(reader, the_window)) return true;
    forget_server_window();
    return false;
}

void forget_server_window() {
    // Every field but data, which nothing reads beyond fill and carry: writing its 16 MiB would
    // only make every page of it resident.
    StreamWindow& w = the_window;
    w.start = w.fill = w.carry = 0;
    w.base = w.last_block = w.previous_block = w.complete_blocks = w.complete_end = 0;
    w.mode = SEEKING;
}
