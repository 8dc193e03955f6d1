// SPDX-License-Identifier: MIT
// Fuzz target: the stream window under any sequence of appends, built with a window of 256 KiB
// (see CMakeLists.txt) so that a run reaches its capacity in a few reads. The input is a list of
// operations; after each append the window's invariants must hold, window_read must stay
// inside data for any position and limit, and a framed window must end with the bytes just
// appended that it kept. One operation ends a run with a valid block stream of more than two
// windows, in appends of whole blocks: whatever came before, the window must then hold a
// whole-block suffix of that stream, ending at its last byte.
//
// A run starts from an empty window or from one of a few windows filled near capacity, so
// that the capacity rule is a read or two away instead of a window of appends. Those are made
// once, by real appends, and a run restores one by setting the record's fields and writing
// back the block headers it held: the window reads held bytes only at block boundaries, so
// the payload bytes a previous run overwrote change nothing it does, and any payload is one
// a source could have sent. Restoring costs a few bytes per block, never the window's size,
// and each run appends within RUN_BUDGET, so a run stays around a millisecond.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stream_window.h"

namespace {

// What a run may append, repeats included, in bytes taken while framed. From a prepared window
// the capacity rule takes one read of 64 KiB. Bytes scanned for a marker cost about 40 ns each
// under the sanitizers against 1 to 2 ns for bytes copied, so each byte taken while seeking, or
// by an append that discarded bytes, counts SEEKING_WEIGHT times.
constexpr std::uint32_t RUN_BUDGET = 256 * 1024;
constexpr std::uint32_t SEEKING_WEIGHT = 16;

StreamWindow window;  // reused: only the bytes held are ever read
std::uint8_t chunk[WINDOW_APPEND_MAX];

// The header bytes of one block held: where in data they begin, and as many as had arrived.
struct HeaderCopy {
    std::uint32_t index;
    std::uint32_t count;
    std::uint8_t bytes[BLOCK_HEADER_SIZE];
};

// A window as a run may start from: its fields and the headers of the blocks it holds.
struct Snapshot {
    std::uint32_t start;
    std::uint32_t fill;
    std::uint64_t base;
    WindowMode mode;
    std::uint64_t last_block;
    std::uint64_t previous_block;
    std::vector<HeaderCopy> headers;
};

enum StartState : std::uint32_t { EMPTY = 0, MANY_BLOCKS = 1, PART_BLOCK = 2, LARGE_BLOCK = 3 };
Snapshot snapshots[4];  // indexed by StartState; EMPTY's is unused
bool prepared = false;

std::uint8_t held_at(const StreamWindow& w, std::uint64_t k) {
    return w.data[(w.start + k) % WINDOW_CAPACITY];
}

Snapshot take_snapshot(const StreamWindow& w) {
    Snapshot s{w.start, w.fill, w.base, w.mode, w.last_block, w.previous_block, {}};
    for (std::uint64_t k = 0; k < w.fill;) {
        HeaderCopy h{static_cast<std::uint32_t>((w.start + k) % WINDOW_CAPACITY), 0, {}};
        while (h.count < BLOCK_HEADER_SIZE && k + h.count < w.fill) {
            h.bytes[h.count] = held_at(w, k + h.count);
            ++h.count;
        }
        s.headers.push_back(h);
        if (h.count < 8) break;
        k += BLOCK_HEADER_SIZE + static_cast<std::uint64_t>(read_u32_le(h.bytes + 4));
    }
    return s;
}

// Appends the whole of a block stream in reads of at most WINDOW_APPEND_MAX bytes.
void append_reads(const std::vector<std::uint8_t>& stream) {
    for (std::size_t at = 0; at < stream.size(); at += WINDOW_APPEND_MAX) {
        std::size_t left = stream.size() - at;
        std::uint32_t n =
            static_cast<std::uint32_t>(left < WINDOW_APPEND_MAX ? left : WINDOW_APPEND_MAX);
        window_append(window, stream.data() + at, n);
    }
}

void put_block(std::vector<std::uint8_t>* stream, std::uint32_t length, std::uint32_t sent) {
    std::size_t at = stream->size();
    stream->resize(at + BLOCK_HEADER_SIZE + sent, 'p');
    write_block_header(stream->data() + at, BlockHeader{BLOCK_MARKER, length, 0});
}

// Builds the prepared windows, one history after the other, from the window as it starts
// (static, so zero: empty and seeking):
// - MANY_BLOCKS: about a thousand blocks of 12 to 32,011 bytes, several to a read, appended
//   until the ring has wrapped, ending at a block boundary a few KiB short of capacity;
// - PART_BLOCK: then half of a 30,000-byte block;
// - LARGE_BLOCK: then the rest of it, a small block and most of a block that only just fits,
//   36,864 bytes short of complete; make_room has dropped all but one block before them.
void prepare() {
    std::vector<std::uint8_t> stream;
    std::uint32_t blocks = 0;
    for (std::uint64_t total = 0; total < WINDOW_CAPACITY + WINDOW_CAPACITY / 2;) {
        std::vector<std::uint8_t> read;  // whole blocks of 12 to 32,011 bytes, as many as fit
        for (;;) {
            std::uint32_t length = (blocks * 2654435761U) % 32000;
            if (read.size() + BLOCK_HEADER_SIZE + length > WINDOW_APPEND_MAX) break;
            put_block(&read, length, length);
            ++blocks;
        }
        append_reads(read);
        total += read.size();
    }
    snapshots[MANY_BLOCKS] = take_snapshot(window);
    stream.clear();
    put_block(&stream, 30000, 15000);
    append_reads(stream);
    snapshots[PART_BLOCK] = take_snapshot(window);
    const std::uint32_t large = WINDOW_CAPACITY - 8192 - BLOCK_HEADER_SIZE;
    stream.assign(15000, 'p');
    put_block(&stream, 4096 - BLOCK_HEADER_SIZE, 4096 - BLOCK_HEADER_SIZE);
    put_block(&stream, large, large - 36864);
    append_reads(stream);
    snapshots[LARGE_BLOCK] = take_snapshot(window);
    // The histories above must have come out as described, or the runs would start elsewhere.
    for (StartState s : {MANY_BLOCKS, PART_BLOCK, LARGE_BLOCK}) {
        if (snapshots[s].mode != FRAMED || snapshots[s].fill + 65536ULL <= WINDOW_CAPACITY) {
            std::abort();
        }
    }
    if (snapshots[MANY_BLOCKS].start == 0) std::abort();
    prepared = true;
}

// Puts the window in the given state with its first byte at base.
void restore(StartState state, std::uint64_t base) {
    if (state == EMPTY) {
        window.base = base;
        window.fill = 0;
        window.start = 0;
        window.last_block = 0;
        window.previous_block = WINDOW_NO_BLOCK;
        window.mode = SEEKING;
        window.carry = 0;
        return;
    }
    const Snapshot& s = snapshots[state];
    window.start = s.start;
    window.fill = s.fill;
    window.base = base;
    window.mode = s.mode;
    window.carry = 0;
    // Absolute offsets move with base: only their distance from it counts.
    window.last_block = s.last_block - s.base + base;
    window.previous_block =
        s.previous_block == WINDOW_NO_BLOCK ? WINDOW_NO_BLOCK : s.previous_block - s.base + base;
    // One copy per block: this loop is instrumented for coverage, so it must not go by bytes.
    for (const HeaderCopy& h : s.headers) {
        std::uint32_t first =
            WINDOW_CAPACITY - h.index < h.count ? WINDOW_CAPACITY - h.index : h.count;
        std::memcpy(window.data + h.index, h.bytes, first);
        std::memcpy(window.data, h.bytes + first, h.count - first);
    }
}

void check(const StreamWindow& w, std::uint64_t base_before, std::uint64_t probe,
           std::uint32_t limit) {
    if (w.fill > WINDOW_CAPACITY) std::abort();
    if (w.base < base_before) std::abort();
    auto marker_at = [&](std::uint64_t k) {
        std::uint8_t four[4] = {held_at(w, k), held_at(w, k + 1), held_at(w, k + 2),
                                held_at(w, k + 3)};
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

// A framed window ends with the bytes just appended, as many as it holds: whether they were
// stored behind what it held, or it emptied and took them from a marker on. Where the append
// reported a discard inside what is now held, what follows that point is the append's end.
void check_tail(const StreamWindow& w, const std::uint8_t* bytes, std::uint32_t n,
                std::uint64_t discarded) {
    if (w.mode != FRAMED) return;
    std::uint64_t end = w.base + w.fill;
    std::uint64_t kept = w.fill;
    if (discarded != WINDOW_NOTHING_DISCARDED && discarded >= w.base && discarded <= end) {
        kept = end - discarded;
    }
    std::uint32_t tail = static_cast<std::uint32_t>(n < kept ? n : kept);
    std::uint32_t at = (w.start + w.fill - tail) % WINDOW_CAPACITY;
    std::uint32_t first = WINDOW_CAPACITY - at < tail ? WINDOW_CAPACITY - at : tail;
    const std::uint8_t* expected = bytes + (n - tail);
    if (std::memcmp(w.data + at, expected, first) != 0) std::abort();
    if (std::memcmp(w.data, expected + first, tail - first) != 0) std::abort();
}

// Appends a valid block stream of more than two windows, in appends of whole blocks of 12 to
// 4,011 bytes, and checks that the window then holds a whole-block suffix of it, ending at its
// last byte. Its payloads hold no '<' and its lengths stay below 2^16 with opaque fields of 0,
// so no marker lies anywhere in it but at its blocks' starts: a window that has caught up with
// it can only be aligned with its blocks. Whatever the run appended before is gone by then: one
// window of the new stream fills the window, one more pushes everything else out.
// The seed's lowest bit chooses the shape. Appends of 1 to 8 blocks grow the window up to the
// capacity rule, around the ring's end; one block per append, as a steady source sends, keeps
// it at a few blocks walking along the ring, and compaction moves it back to data[0].
void append_valid_stream(std::uint64_t seed) {
    std::vector<std::uint32_t> sizes;  // of each block, in order
    std::uint64_t total = 0;
    const bool steady = (seed & 1) != 0;
    std::uint64_t rng = seed | 1;
    while (total <= 2ULL * WINDOW_CAPACITY) {
        rng = rng * 6364136223846793005ULL + 1442695040888963407ULL;
        std::uint32_t count = steady ? 1 : static_cast<std::uint32_t>(rng >> 61) + 1;
        std::uint32_t n = 0;
        for (std::uint32_t b = 0; b < count; ++b) {
            std::uint32_t payload = static_cast<std::uint32_t>((rng >> (8 * b)) % 4000);
            std::memset(chunk + n + BLOCK_HEADER_SIZE, 'v', payload);
            write_block_header(chunk + n, BlockHeader{BLOCK_MARKER, payload, 0});
            n += BLOCK_HEADER_SIZE + payload;  // 8 blocks of at most 4,011 bytes fit in chunk
            sizes.push_back(BLOCK_HEADER_SIZE + payload);
        }
        std::uint64_t before = window.base;
        window_append(window, chunk, n);
        check(window, before, rng, 1460);
        total += n;
    }
    // The held bytes are the stream's last blocks, whole, header by header.
    if (window.mode != FRAMED || window.fill > total) std::abort();
    std::uint64_t held = 0;
    std::size_t first = sizes.size();
    while (held < window.fill && first > 0) held += sizes[--first];
    if (held != window.fill) std::abort();  // the window does not begin at one of its blocks
    for (std::uint64_t k = 0; first < sizes.size(); k += sizes[first++]) {
        std::uint8_t head[8];
        for (std::uint32_t j = 0; j < 8; ++j) head[j] = held_at(window, k + j);
        if (!is_block_marker(head) || read_u32_le(head + 4) + BLOCK_HEADER_SIZE != sizes[first]) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (!prepared) prepare();
    std::size_t at = 0;
    auto take = [&](std::size_t n, std::uint64_t* v) {
        *v = 0;
        for (std::size_t k = 0; k < n; ++k)
            *v |= static_cast<std::uint64_t>(at < size ? in[at++] : 0) << (8 * k);
    };
    std::uint64_t first = 0;
    take(1, &first);
    // Bit 0: base 0, or near 2^32, where a carry into the high half is tested (for a prepared
    // window, 2^32 falls inside what it holds). Bits 1-2: the start state. The rest: how near.
    auto state = static_cast<StartState>((first >> 1) & 3);
    std::uint64_t base = 0;
    if ((first & 1) != 0) {
        std::uint64_t half = state == EMPTY ? 0 : snapshots[state].fill / 2;
        base = 0xFFFFFFFFULL - (first >> 3) * 4096 - half;
    }
    restore(state, base);
    std::uint32_t budget = RUN_BUDGET;
    while (at < size && budget > 0) {
        std::uint64_t op = 0;
        std::uint64_t len = 0;
        std::uint64_t value = 0;
        take(1, &op);
        take(2, &len);
        std::uint32_t n = static_cast<std::uint32_t>(len % WINDOW_APPEND_MAX) + 1;
        std::uint32_t repeat = 1;
        // The run ends with the valid stream, for one op value in 96: it appends more than two
        // windows, twice what the other operations may append in a run.
        if (op % 6 == 5 && (op & 0xF0) == 0x50) {
            take(4, &value);
            append_valid_stream(value);
            return 0;
        }
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
        for (std::uint32_t r = 0; r < repeat && budget > 0; ++r) {
            std::uint32_t weight = window.mode == SEEKING ? SEEKING_WEIGHT : 1;
            std::uint32_t piece = n < budget / weight ? n : budget / weight;  // the last may be cut
            if (piece == 0) break;
            budget -= piece * weight;
            std::uint64_t before = window.base;
            std::uint64_t before_end = window.base + window.fill;
            std::uint64_t discarded = window_append(window, chunk, piece);
            check(window, before, value, static_cast<std::uint32_t>(value % 3000) + 1);
            check_tail(window, chunk, piece, discarded);
            // A framed window that discarded bytes searched what followed the discard for the
            // next marker, as when seeking: held bytes not yet judged (at most an append's) and
            // this append. Filler behind a block is cut and searched at every repeat.
            std::uint64_t end = before_end + piece;
            if (weight == 1 && discarded < end) {
                std::uint64_t searched = end - discarded;
                if (searched > piece + WINDOW_APPEND_MAX) searched = piece + WINDOW_APPEND_MAX;
                std::uint64_t cost = searched * SEEKING_WEIGHT - piece;
                budget -= static_cast<std::uint32_t>(cost < budget ? cost : budget);
            }
        }
    }
    return 0;
}
