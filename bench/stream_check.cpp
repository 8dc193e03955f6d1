// SPDX-License-Identifier: MIT
#include "stream_check.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "wire.h"

namespace {

// The first 16 payload bytes are the sequence number and the send time; filler follows.
constexpr std::uint32_t FIELDS_SIZE = TEST_PAYLOAD_MIN;
constexpr std::size_t FILLER_CHUNK = 4096;

// Filler is 'a' + (sequence + index) % 26, so any run of it is a run of this one, entered at
// (sequence + index) % 26: a chunk is compared with one memcmp instead of byte by byte.
const std::array<std::uint8_t, 26 + FILLER_CHUNK> FILLER_RUN = [] {
    std::array<std::uint8_t, 26 + FILLER_CHUNK> run{};
    for (std::size_t k = 0; k < run.size(); ++k)
        run[k] = test_filler_byte(0, static_cast<std::uint32_t>(k));
    return run;
}();

std::size_t take_response(StreamCheck* c, const std::uint8_t* p, std::size_t n) {
    std::size_t k = std::min<std::size_t>(n, RESPONSE_HEADER_SIZE - c->at);
    if (std::memcmp(p, RESPONSE_HEADER + c->at, k) != 0) c->bad_header = 1;
    c->at += static_cast<std::uint32_t>(k);  // k <= 135
    if (c->at == RESPONSE_HEADER_SIZE) {
        c->phase = BLOCK_HEAD;
        c->at = 0;
    }
    return k;
}

void finish_block(StreamCheck* c, std::int64_t now_wall_ns) {
    if (c->length < FIELDS_SIZE) {
        c->block_bad = true;  // a test payload carries at least its sequence and send time
    } else {
        c->blocks += 1;
        c->newest_sent_wall_ns = c->sent_wall_ns;
        if (c->blocks == 1) c->first_block_age_ns = now_wall_ns - c->sent_wall_ns;
    }
    if (c->block_bad) c->bad_blocks += 1;
    c->block_bad = false;
    c->phase = BLOCK_HEAD;
    c->at = 0;
}

std::size_t take_block_head(StreamCheck* c, const std::uint8_t* p, std::size_t n,
                            std::int64_t now_wall_ns) {
    if (c->at == 0) c->block_start_wall_ns = now_wall_ns;
    std::size_t k = std::min<std::size_t>(n, BLOCK_HEADER_SIZE - c->at);
    std::memcpy(c->head + c->at, p, k);
    c->at += static_cast<std::uint32_t>(k);  // k <= 12
    if (c->at < BLOCK_HEADER_SIZE) return k;
    if (!is_block_marker(c->head)) {
        // A block must begin here, at the stream's start too: without a marker no later byte
        // can be placed in a block any more.
        c->bad_framing += 1;
        c->phase = LOST;
        return k;
    }
    c->length = read_u32_le(c->head + 4);
    if (c->first_length == 0) c->first_length = c->length;
    c->phase = PAYLOAD;
    c->at = 0;
    if (c->length == 0) finish_block(c, now_wall_ns);
    return k;
}

// The sequence number and send time are in: the block's place in the stream and its delay.
void take_fields(StreamCheck* c, DelayLog* log) {
    c->sequence = read_u64_le(c->head + BLOCK_HEADER_SIZE);
    c->sent_wall_ns = static_cast<std::int64_t>(read_u64_le(c->head + BLOCK_HEADER_SIZE + 8));
    if (read_u32_le(c->head + 8) != static_cast<std::uint32_t>(c->sequence)) c->block_bad = true;
    if (c->any_sequence && c->sequence != c->last_sequence + 1) c->gaps += 1;
    c->any_sequence = true;
    c->last_sequence = c->sequence;
    if (log != nullptr && c->block_start_wall_ns >= log->from_wall_ns) {
        log->delay_ms.push_back(static_cast<double>(c->block_start_wall_ns - c->sent_wall_ns) /
                                1e6);
    }
}

void check_filler(StreamCheck* c, const std::uint8_t* p, std::uint32_t index, std::size_t n) {
    while (n > 0 && !c->block_bad) {
        std::size_t k = std::min(n, FILLER_CHUNK);
        auto entry = static_cast<std::size_t>((c->sequence + index) % 26);
        if (std::memcmp(p, FILLER_RUN.data() + entry, k) != 0) c->block_bad = true;
        p += k;
        n -= k;
        index += static_cast<std::uint32_t>(k);  // stays within the payload's u32 length
    }
}

std::size_t take_payload(StreamCheck* c, const std::uint8_t* p, std::size_t n,
                         std::int64_t now_wall_ns, DelayLog* log) {
    // at <= length always, so this cannot wrap, however short the payload is.
    std::size_t k = std::min<std::size_t>(n, c->length - c->at);
    std::uint32_t end = c->at + static_cast<std::uint32_t>(k);
    if (c->at < FIELDS_SIZE) {
        std::uint32_t m = std::min(end, FIELDS_SIZE) - c->at;
        std::memcpy(c->head + BLOCK_HEADER_SIZE + c->at, p, m);
        if (c->at + m == FIELDS_SIZE) take_fields(c, log);
    }
    if (end > FIELDS_SIZE) {
        std::uint32_t from = std::max(c->at, FIELDS_SIZE);
        check_filler(c, p + (from - c->at), from, end - from);
    }
    c->at = end;
    if (c->at == c->length) finish_block(c, now_wall_ns);
    return k;
}

}  // namespace

StreamCheck new_stream_check() {
    StreamCheck c{};
    c.phase = RESPONSE;
    return c;
}

void check_bytes(StreamCheck* check, const std::uint8_t* bytes, std::size_t n,
                 std::int64_t now_wall_ns, DelayLog* log) {
    while (n > 0) {
        std::size_t used = n;  // LOST: everything, unchecked
        if (check->phase == RESPONSE) {
            used = take_response(check, bytes, n);
        } else {
            if (check->stream_bytes == 0) check->first_stream_wall_ns = now_wall_ns;
            if (check->phase == BLOCK_HEAD)
                used = take_block_head(check, bytes, n, now_wall_ns);
            else if (check->phase == PAYLOAD)
                used = take_payload(check, bytes, n, now_wall_ns, log);
            check->stream_bytes += used;
        }
        bytes += used;
        n -= used;
    }
}

bool is_damaged(const StreamCheck& check) {
    return check.bad_header != 0 || check.bad_framing != 0 || check.gaps != 0 ||
           check.bad_blocks != 0 || check.block_bad;
}
