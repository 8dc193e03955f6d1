#pragma once
// stream_window: the server's one copy of the live stream, cut at block boundaries. Only this
// module writes to it. Every byte is numbered with a 64-bit absolute offset (data[i] is offset
// base + i), so players own nothing but their position.

#include <cstdint>

#include "wire.h"

constexpr std::uint32_t WINDOW_CAPACITY = 16 * 1024 * 1024;
// The largest append taken as one: a receive buffer's worth. Longer ones are taken in pieces.
constexpr std::uint32_t WINDOW_APPEND_MAX = 65536;

// How the next appended bytes are taken.
enum WindowMode : std::uint32_t {
    SEEKING = 0,   // empty; bytes are discarded up to the next block marker (the start state)
    FRAMED = 1,    // data begins with a block: the drop-and-cut rule applies
    SKIPPING = 2,  // empty; discarding the rest of a block too large to hold, up to skip_to
};

struct StreamWindow {
    std::uint8_t data[WINDOW_CAPACITY];
    std::uint32_t fill;  // bytes held, data[0] to data[fill - 1]
    std::uint64_t base;  // absolute offset of data[0]; only ever grows
    WindowMode mode;
    std::uint64_t skip_to;  // SKIPPING: absolute offset at which the oversized block ends
    // SEEKING: the last 1 to 3 bytes seen, at data[0] and offset base, when they could be the
    // start of a marker that the next append completes. Not held: fill stays 0.
    std::uint32_t carry;
};

enum WindowAnswer : std::uint32_t { BEHIND, NOTHING_NEW, AVAILABLE };

struct WindowPiece {
    WindowAnswer answer;
    const std::uint8_t* place;  // AVAILABLE: the first byte, inside data
    std::uint32_t count;        // AVAILABLE: 1 to limit bytes
};

// Takes len bytes of one read of a source behind what the window holds, after applying the
// front rule (see stream_window.cpp). Allocates nothing.
void window_append(StreamWindow& window, const std::uint8_t* bytes, std::uint32_t len);
// What the window holds at the absolute position: BEHIND when position < base (those bytes are
// gone), NOTHING_NEW when position >= base + fill, else AVAILABLE with the place in data and
// the count, at most limit. Copies and changes nothing.
WindowPiece window_read(const StreamWindow& window, std::uint64_t position, std::uint32_t limit);

// The server's one window, static for the life of the process, and the same operations on it.
const StreamWindow& server_window();
void window_append(const std::uint8_t* bytes, std::uint32_t len);
WindowPiece window_read(std::uint64_t position, std::uint32_t limit);
std::uint64_t window_base();
