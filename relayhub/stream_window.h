// SPDX-License-Identifier: MIT
#pragma once
// stream_window: the server's one copy of the live stream, cut at block boundaries. Only this
// module writes to it. Every byte is numbered with a 64-bit absolute offset (base is the offset
// of the first byte held), so players own nothing but their position.

#include <cstdint>

#include "handover.h"
#include "wire.h"

// The window's size in bytes, and with it the largest block it frames. The relay's window is
// RELAY_BLOCK_MAX. A build of this module alone may set WINDOW_CAPACITY_BYTES to a smaller power
// of two: the window fuzzer's does, so that a run reaches the capacity rule and goes through
// two whole windows of stream in a few hundred KiB of appends instead of tens of MiB. Every rule
// below is stated in terms of the capacity, so a smaller window keeps all of its cases.
#ifdef WINDOW_CAPACITY_BYTES
constexpr std::uint32_t WINDOW_CAPACITY = WINDOW_CAPACITY_BYTES;
#else
constexpr std::uint32_t WINDOW_CAPACITY = RELAY_BLOCK_MAX;
#endif
static_assert((WINDOW_CAPACITY & (WINDOW_CAPACITY - 1)) == 0, "the ring's index is masked");
// A block the window frames is one every other program relays too.
static_assert(WINDOW_CAPACITY <= RELAY_BLOCK_MAX, "no block larger than the programs relay");
// The largest append taken as one: a receive buffer's worth. Longer ones are taken in pieces.
constexpr std::uint32_t WINDOW_APPEND_MAX = 65536;
// How far into data the ring's start may move before what the window holds is moved back to
// data[0] (see drop_front in stream_window.cpp), keeping the pages it touches near what it holds:
// a sixteenth of the window, 1 MiB of the relay's.
constexpr std::uint32_t WINDOW_COMPACT_AT = WINDOW_CAPACITY / 16;
// What window_append answers when it kept every byte it held before.
constexpr std::uint64_t WINDOW_NOTHING_DISCARDED = UINT64_MAX;
// previous_block when there is none.
constexpr std::uint64_t WINDOW_NO_BLOCK = UINT64_MAX;

// How the next appended bytes are taken.
enum WindowMode : std::uint32_t {
    SEEKING = 0,  // empty; bytes are discarded up to the next block marker (the start state)
    FRAMED = 1,   // held bytes begin with a block: the drop-and-cut rule applies
};

struct StreamWindow {
    // A ring: the byte at offset base + i is data[(start + i) % WINDOW_CAPACITY], so dropping
    // the first block moves nothing. An empty window starts again at data[0], and a window that
    // holds little far into data is moved back there.
    std::uint8_t data[WINDOW_CAPACITY];
    std::uint32_t start;  // index in data of the byte at base
    std::uint32_t fill;   // bytes held
    std::uint64_t base;   // absolute offset of the first byte held; only ever grows
    WindowMode mode;
    // SEEKING: bytes at data[0] on (offset base on) that the search for a marker looks at before
    // the next append's, not held (fill stays 0): the last 1 to 3 bytes seen when they could
    // begin a marker, or a first block's bytes after its marker when its length framed nothing.
    std::uint32_t carry;
    // FRAMED: the newest block whose marker and length have been seen (absolute offset), and
    // the block before it, or WINDOW_NO_BLOCK. Kept up as bytes arrive, so that a new player's
    // starting block is found without walking the window.
    std::uint64_t last_block;
    std::uint64_t previous_block;
    // Complete blocks held so far, counted as their last byte arrives, for whoever watches
    // whether the stream feeds listeners at all; complete_end is where the last one counted
    // ends (absolute), the place the count goes on from.
    std::uint64_t complete_blocks;
    std::uint64_t complete_end;
};

enum WindowAnswer : std::uint32_t { BEHIND, NOTHING_NEW, AVAILABLE };

struct WindowPiece {
    WindowAnswer answer;
    const std::uint8_t* place;  // AVAILABLE: the first byte, inside data
    std::uint32_t count;        // AVAILABLE: 1 to limit bytes, contiguous in data
};

// Takes len bytes of one read of a source behind what the window holds, after applying the
// front rule (see stream_window.cpp). Allocates nothing. Returns the lowest absolute offset at
// which bytes were discarded other than by dropping whole blocks from the front (a cut of held
// bytes or of bytes of this append behind the blocks held, or the capacity rule emptying the
// window), or WINDOW_NOTHING_DISCARDED. A player that was sent a byte at or past that offset
// must not be sent what now follows it.
std::uint64_t window_append(StreamWindow& window, const std::uint8_t* bytes, std::uint32_t len);
// A new source is about to append its first bytes, which begin with a block marker. What the
// window holds behind its newest complete block (a block the old source left unfinished, or a
// header cut short) is cut away, so that the marker begins a block; an empty window that was
// seeking takes the new source's bytes from their first marker. Returns the
// lowest absolute offset of held bytes discarded, or WINDOW_NOTHING_DISCARDED.
std::uint64_t window_begin_source(StreamWindow& window);
// What the window holds at the absolute position: BEHIND when position < base (those bytes are
// gone), NOTHING_NEW when position >= base + fill, else AVAILABLE with the place in data and
// the count, at most limit. The count also stops at the end of data, where the ring wraps: the
// next read goes on from data[0]. Copies and changes nothing.
WindowPiece window_read(const StreamWindow& window, std::uint64_t position, std::uint32_t limit);
// The absolute offset at which a new player starts: the beginning of the newest block whose
// header has arrived, or base while none has (see stream_window.cpp).
std::uint64_t window_join_point(const StreamWindow& window);

// The server's one window, static for the life of the process, and the same operations on it.
const StreamWindow& server_window();
std::uint64_t window_append(const std::uint8_t* bytes, std::uint32_t len);
std::uint64_t window_begin_source();
std::uint64_t window_join_point();

// The window's section of a reload's state image: its offsets, its block count and the bytes it
// holds (or carries while seeking), oldest first.
void put_window(HandoverImage& image, const StreamWindow& window);
// Reads a section written by put_window into window, which must be zeroed. The bytes land from
// data[0] on; where blocks begin is found again from them, so a section from anywhere else
// cannot make the window believe in a block it does not hold. False when a field breaks the
// window's rules (a count beyond the capacity, held bytes that do not begin with a block); the
// window is then to be zeroed again.
bool take_window(HandoverReader& reader, StreamWindow& window);
// The same for the server's window; take_server_window zeroes it again when it fails.
void put_server_window(HandoverImage& image);
bool take_server_window(HandoverReader& reader);
// Empties the server's window, as at a fresh start.
void forget_server_window();
