// SPDX-License-Identifier: MIT
#include "stream_check.h"

#include <cstring>

namespace {

constexpr std::uint32_t FIELDS_END = BLOCK_HEADER_SIZE + TEST_PAYLOAD_MIN;  // number, send time
constexpr std::uint32_t NUMBER_END = BLOCK_HEADER_SIZE + 8;
constexpr std::uint32_t FILLER_CHUNK = 4096;
constexpr std::uint32_t FILLER_RUN_SIZE = 26 + FILLER_CHUNK;

// Filler is 'a' + (sequence + index) % 26, so any run of it is a run of this one, entered at
// (sequence + index) % 26: a piece is compared with one memcmp instead of byte by byte.
std::uint8_t filler_run[FILLER_RUN_SIZE];

void prepare_filler_run() {
    if (filler_run[0] != 0) return;
    for (std::uint32_t k = 0; k < FILLER_RUN_SIZE; ++k) filler_run[k] = test_filler_byte(0, k);
}

std::uint8_t marker_byte(std::uint32_t k) {
    return static_cast<std::uint8_t>(BLOCK_MARKER >> (8 * k));
}

void start_block(StreamCheck* c) {
    c->phase = CHECK_HEADER;
    c->block = CheckedBlock{};
    c->recent = 0;
    c->holds_header = false;
}

// Every byte of a block, header included, passes here once: it is hashed, and watched for
// another block's header beginning after the block's first byte. A header that began in earlier
// pieces ends within the first 7 bytes of this one, so those go through `recent` byte by byte;
// the rest are searched for the marker's first byte, which no test payload's filler holds.
void pass_bytes(StreamCheck* c, const std::uint8_t* p, std::uint32_t k) {
    CheckedBlock& b = c->block;
    if (c->hashing) b.hash = fnv1a(b.hash, p, k);
    std::uint32_t rolled = k < 7 ? k : 7;
    for (std::uint32_t i = 0; i < rolled; ++i) {
        c->recent = c->recent >> 8 | static_cast<std::uint64_t>(p[i]) << 56;
        bool after_first = b.size + i + 1 >= 9;  // the 8 bytes begin at offset 1 or later
        if (after_first && block_frames(static_cast<std::uint32_t>(c->recent),
                                        static_cast<std::uint32_t>(c->recent >> 32))) {
            c->holds_header = true;
        }
    }
    if (k > 7) {
        const std::uint8_t* last = p + (k - 8);  // the last place 8 bytes begin within p
        auto first = static_cast<std::uint8_t>(BLOCK_MARKER);
        for (const std::uint8_t* q = p; q <= last && !c->holds_header; ++q) {
            q = static_cast<const std::uint8_t*>(
                std::memchr(q, first, static_cast<std::size_t>(last - q) + 1));
            if (q == nullptr) break;
            if ((b.size > 0 || q > p) && block_frames(read_u32_le(q), read_u32_le(q + 4)))
                c->holds_header = true;
        }
        c->recent = read_u64_le(p + k - 8);
    }
    b.size += k;
}

// The block's number, and whether it follows the block before. A test block whose payload
// number has arrived carries all 64 bits; any other only its header's 32.
void number_block(StreamCheck* c) {
    CheckedBlock& b = c->block;
    std::uint64_t expected = c->whole_blocks > 0 ? c->last_number + 1 : 0;
    if ((b.faults & NOT_TEST_FAULTS) == 0 && b.size >= NUMBER_END) {
        b.number = read_u64_le(c->head + BLOCK_HEADER_SIZE);
    } else {
        b.number = (expected & ~0xFFFFFFFFULL) | read_u32_le(c->head + 8);
    }
    if (c->whole_blocks == 0 || b.number == expected) return;
    if (b.number > expected) {
        b.faults |= FAULT_MISSING;
    } else {
        b.faults |= b.number == c->last_number ? FAULT_REPEATED : FAULT_OUT_OF_ORDER;
    }
}

// A block that ends whole with another block's header inside is spliced all the same: a block
// lost bytes before that header, or a length grew, and this block took in another's bytes. A
// payload of other bytes holds a marker and a length a relay can hold by chance about once in
// 2^40 places, two years of a 128 kbit/s stream.
void finish_block(StreamCheck* c, CheckedBlock* ended) {
    if (c->holds_header) c->block.faults |= FAULT_SPLICED;
    number_block(c);
    c->whole_blocks += 1;
    c->last_number = c->block.number;
    *ended = c->block;
    start_block(c);
}

void lose_framing(StreamCheck* c, std::uint32_t fault, CheckedBlock* ended) {
    c->block.faults |= fault;
    *ended = c->block;
    c->phase = CHECK_UNFRAMED;
}

std::size_t take_response(StreamCheck* c, const std::uint8_t* p, std::size_t n) {
    std::size_t k = RESPONSE_HEADER_SIZE - c->response_at;
    if (k > n) k = n;
    if (std::memcmp(p, RESPONSE_HEADER + c->response_at, k) != 0) c->header_wrong = true;
    c->response_at += static_cast<std::uint32_t>(k);  // k <= 135
    if (c->response_at == RESPONSE_HEADER_SIZE) start_block(c);
    return k;
}

// Header bytes one at a time, at most 12: framing is lost at the first byte that is not the
// marker's, and at the length as soon as it has arrived, when no relay could hold the block.
std::size_t take_header(StreamCheck* c, const std::uint8_t* p, std::size_t n, CheckedBlock* ended) {
    CheckedBlock& b = c->block;
    std::size_t k = 0;
    while (k < n && b.size < BLOCK_HEADER_SIZE) {
        std::uint32_t at = b.size;
        c->head[at] = p[k];
        pass_bytes(c, p + k, 1);
        k += 1;
        if (at < 4 && c->head[at] != marker_byte(at)) {
            lose_framing(c, FAULT_NO_MARKER, ended);
            return k;
        }
        if (at == 7) {
            b.length = read_u32_le(c->head + 4);
            if (!block_frames_at(c->head)) {
                lose_framing(c, FAULT_LENGTH, ended);
                return k;
            }
        }
    }
    if (b.size < BLOCK_HEADER_SIZE) return k;
    c->phase = CHECK_PAYLOAD;
    if (b.length < TEST_PAYLOAD_MIN) b.faults |= FAULT_SHORT;
    if (b.length == 0) finish_block(c, ended);
    return k;
}

// Filler bytes from payload index `index` on, compared a chunk at a time until one differs.
void check_filler(StreamCheck* c, const std::uint8_t* p, std::uint32_t index, std::uint32_t n) {
    std::uint64_t sequence = read_u64_le(c->head + BLOCK_HEADER_SIZE);
    while (n > 0 && (c->block.faults & FAULT_FILLER) == 0) {
        std::uint32_t k = n < FILLER_CHUNK ? n : FILLER_CHUNK;
        auto entry = static_cast<std::uint32_t>((sequence + index) % 26);
        if (std::memcmp(p, filler_run + entry, k) != 0) c->block.faults |= FAULT_FILLER;
        p += k;
        n -= k;
        index += k;  // stays within the payload's 32-bit length
    }
}

std::size_t take_payload(StreamCheck* c, const std::uint8_t* p, std::size_t n,
                         CheckedBlock* ended) {
    CheckedBlock& b = c->block;
    std::uint32_t at = b.size;  // block offset of p[0]; at most 12 + length, so no wrap below
    std::uint32_t left = BLOCK_HEADER_SIZE + b.length - at;
    auto k = static_cast<std::uint32_t>(n < left ? n : left);
    std::uint32_t end = at + k;
    if (at < FIELDS_END) {
        std::uint32_t fields = (end < FIELDS_END ? end : FIELDS_END) - at;
        std::memcpy(c->head + at, p, fields);
        if (at < NUMBER_END && at + fields >= NUMBER_END &&
            read_u32_le(c->head + 8) != read_u32_le(c->head + BLOCK_HEADER_SIZE)) {
            b.faults |= FAULT_OPAQUE;
        }
        if (at + fields == FIELDS_END) {
            b.sent_wall_ns = static_cast<std::int64_t>(read_u64_le(c->head + NUMBER_END));
        }
    }
    if (end > FIELDS_END) {
        std::uint32_t from = at > FIELDS_END ? at : FIELDS_END;
        check_filler(c, p + (from - at), from - BLOCK_HEADER_SIZE, end - from);
    }
    pass_bytes(c, p, k);
    if (b.size == BLOCK_HEADER_SIZE + b.length) finish_block(c, ended);
    return k;
}

// Whether the cut block's last bytes hold a whole marker, after its first byte, whose length
// has not all arrived: the start of another block.
bool ends_in_marker(const StreamCheck& c) {
    // The marker starts `from` bytes from the end, and after the block's first byte.
    for (std::uint32_t from = 4; from <= 7; ++from) {
        if (c.block.size < from + 1) break;
        if (static_cast<std::uint32_t>(c.recent >> (8 * (8 - from))) == BLOCK_MARKER) return true;
    }
    return false;
}

}  // namespace

std::size_t check_bytes(StreamCheck* check, const std::uint8_t* bytes, std::size_t n,
                        std::int64_t now, CheckedBlock* ended) {
    prepare_filler_run();
    *ended = CheckedBlock{};
    std::size_t used = 0;
    if (check->phase == CHECK_RESPONSE) used = take_response(check, bytes, n);
    if (used == n) return used;
    if (check->phase == CHECK_UNFRAMED) {
        check->unframed_bytes += n - used;
        return n;
    }
    CheckedBlock& b = check->block;
    if (b.size == 0) {
        b.first_at = now;
        if (check->hashing) b.hash = FNV1A_BASIS;
    }
    b.last_at = now;
    // The header, then the payload, until the block ends or loses its framing.
    while (used < n && ended->size == 0 && check->phase != CHECK_UNFRAMED) {
        if (check->phase == CHECK_HEADER) {
            used += take_header(check, bytes + used, n - used, ended);
        } else {
            used += take_payload(check, bytes + used, n - used, ended);
        }
    }
    return used;
}

int check_end(StreamCheck* check, CheckedBlock* ended) {
    *ended = CheckedBlock{};
    bool in_block = check->phase == CHECK_HEADER || check->phase == CHECK_PAYLOAD;
    if (!in_block || check->block.size == 0) return 0;
    CheckedBlock& b = check->block;
    if (check->holds_header || ends_in_marker(*check)) {
        b.faults |= FAULT_SPLICED;
    } else {
        b.faults |= FAULT_CUT;
        if (check->phase == CHECK_PAYLOAD) number_block(check);
    }
    *ended = b;
    start_block(check);
    return 1;
}
