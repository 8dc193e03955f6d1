// SPDX-License-Identifier: MIT
// blockcheck: checks a listener's capture (what feedfetch wrote, what curl -i saved, or with -n
// what curl or wget saved without the header). The capture is split at each response header,
// one per connection; each connection must begin with the relay's header and go on with
// well-formed blocks, numbered one after the other, of which only the last may be cut short,
// and only where its connection ended. Test-mode blocks must also carry their test payload
// unchanged. The capture is read as a stream, a byte at a time, in constant memory: a block is
// checked as it goes by, and nothing of it is kept but its header and sequence number.

#include <getopt.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace {

enum BlockPhase : std::uint32_t {
    HEADER = 0,    // the next byte belongs to a block's header (none of it, or part)
    PAYLOAD = 1,   // the header is complete and payload bytes are due
    NO_BLOCK = 2,  // framing was lost: the rest of the connection is no block
};

// The block being read: what has arrived of it and what it has shown so far.
struct BlockInProgress {
    BlockPhase phase;
    std::uint32_t seen;  // bytes of it so far, header included
    std::uint8_t header[BLOCK_HEADER_SIZE];
    std::uint32_t length;     // PAYLOAD: payload bytes declared
    std::uint32_t opaque;     // PAYLOAD: the producer's block number
    std::uint64_t sequence;   // payload bytes 0..7, once they have arrived
    bool test_payload;        // PAYLOAD: what has arrived is a test payload of its own number
    std::uint64_t recent;     // the last 8 bytes, the oldest in the low byte
    bool holds_block_header;  // a marker and a length the relay can hold, after its first byte
};

struct ConnectionReport {
    bool header_ok;
    std::uint64_t bytes;  // after the header
    std::uint64_t blocks;
    std::uint64_t test_blocks;  // complete blocks that carry a test payload of their number
    // Some test block could not be another stream's: its payload has filler, or its number is
    // not 0 (16 bytes from /dev/zero pass for test block 0). Blocks of a test stream that are
    // not test blocks had a byte changed.
    bool test_stream;
    std::uint64_t first_sequence;
    std::uint64_t last_sequence;
    std::uint64_t gaps;  // blocks not numbered one more than the block before
    std::uint64_t cut_tail;
    bool tail_changed;  // the cut tail is no beginning of a test block
    std::uint64_t malformed;
    BlockInProgress block;
};

struct Options {
    bool headerless = false;  // -n: one connection, without the relay's header
    const char* path = nullptr;
};

void usage() {
    std::fputs(
        "Usage: blockcheck [-n] [capture_file]   (standard input without a file or with -)\n"
        "  -n  the capture has no relay header, as curl and wget save it: one connection\n",
        stderr);
}

bool parse_options(int argc, char** argv, Options* o) {
    int c = 0;
    opterr = 0;  // the usage text says what is wrong, once
    while ((c = getopt(argc, argv, "n")) != -1) {
        if (c != 'n') return false;
        o->headerless = true;
    }
    if (argc - optind > 1) return false;
    if (argc - optind == 1 && std::strcmp(argv[optind], "-") != 0) o->path = argv[optind];
    return true;
}

std::uint8_t marker_byte(std::uint32_t k) {
    return static_cast<std::uint8_t>(BLOCK_MARKER >> (8 * k));
}

// A block's number for the order check. A test block carries all 64 bits; any other block
// only its header's 32, taken in the run of the number expected.
std::uint64_t block_number(const ConnectionReport& r, const BlockInProgress& b, bool test) {
    if (test) return b.sequence;
    std::uint64_t expected = r.blocks > 0 ? r.last_sequence + 1 : 0;
    return (expected & ~0xFFFFFFFFULL) | b.opaque;
}

void count_number(ConnectionReport* r, std::uint64_t number) {
    if (r->blocks > 0 && number != r->last_sequence + 1) r->gaps += 1;
}

void lose_framing(ConnectionReport* r) {
    r->malformed += r->block.seen;
    r->block.phase = NO_BLOCK;
}

void finish_block(ConnectionReport* r) {
    BlockInProgress& b = r->block;
    bool test = b.test_payload;
    std::uint64_t number = block_number(*r, b, test);
    count_number(r, number);
    if (r->blocks == 0) r->first_sequence = number;
    r->last_sequence = number;
    r->blocks += 1;
    if (test) {
        r->test_blocks += 1;
        if (b.length > TEST_PAYLOAD_MIN || b.sequence != 0) r->test_stream = true;
    }
    b = BlockInProgress{};
}

// One byte of a connection's stream, after its header.
void take_byte(ConnectionReport* r, std::uint8_t byte) {
    r->bytes += 1;
    BlockInProgress& b = r->block;
    if (b.phase == NO_BLOCK) {
        r->malformed += 1;
        return;
    }
    std::uint32_t at = b.seen;  // offset of this byte in the block
    b.seen += 1;
    b.recent = b.recent >> 8 | static_cast<std::uint64_t>(byte) << 56;
    if (b.seen >= 9 && static_cast<std::uint32_t>(b.recent) == BLOCK_MARKER &&
        block_length_fits(static_cast<std::uint32_t>(b.recent >> 32))) {
        b.holds_block_header = true;
    }
    if (b.phase == HEADER) {
        b.header[at] = byte;
        if (at < 4 && byte != marker_byte(at)) return lose_framing(r);
        if (b.seen == 8 && !block_length_fits(read_u32_le(b.header + 4))) {
            return lose_framing(r);  // a length the relay can never hold: no block begins here
        }
        if (b.seen < BLOCK_HEADER_SIZE) return;
        b.length = read_u32_le(b.header + 4);
        b.opaque = read_u32_le(b.header + 8);
        b.phase = PAYLOAD;
        b.test_payload = b.length >= TEST_PAYLOAD_MIN;
        if (b.length == 0) finish_block(r);
        return;
    }
    std::uint32_t i = at - BLOCK_HEADER_SIZE;  // index in the payload
    if (i < 8) {
        b.sequence |= static_cast<std::uint64_t>(byte) << (8 * i);
        if (i == 7 && static_cast<std::uint32_t>(b.sequence) != b.opaque) b.test_payload = false;
    } else if (i >= TEST_PAYLOAD_MIN && b.test_payload && byte != test_filler_byte(b.sequence, i)) {
        b.test_payload = false;
    }
    if (i + 1 == b.length) finish_block(r);
}

// Whether the last bytes of a cut tail begin a marker whose length has not all arrived.
bool ends_in_marker(const BlockInProgress& b) {
    for (std::uint32_t from = 4; from <= 7;
         ++from) {                     // the marker starts `from` bytes from the end
        if (b.seen < from + 1) break;  // it must start after the block's first byte
        if (static_cast<std::uint32_t>(b.recent >> (8 * (8 - from))) == BLOCK_MARKER) return true;
    }
    return false;
}

// The connection has ended: a block it was in the middle of is its cut tail, which is allowed
// only as the start of a block and nothing else.
void end_connection(ConnectionReport* r) {
    BlockInProgress& b = r->block;
    if (b.phase == NO_BLOCK || b.seen == 0) return;
    if (b.holds_block_header || ends_in_marker(b)) {
        // Another block's header inside it: the block was cut short and other bytes followed.
        r->malformed += b.seen;
        return;
    }
    r->cut_tail = b.seen;
    if (b.phase == PAYLOAD) {
        count_number(r, block_number(*r, b, b.test_payload && b.seen >= BLOCK_HEADER_SIZE + 8));
        r->tail_changed = !b.test_payload;
    }
}

std::uint64_t corrupt_blocks(const ConnectionReport& r) {
    if (!r.test_stream) return 0;
    return r.blocks - r.test_blocks + (r.tail_changed ? 1 : 0);
}

bool intact(const ConnectionReport& r) {
    return r.header_ok && r.malformed == 0 && r.gaps == 0 && corrupt_blocks(r) == 0;
}

void print(std::uint64_t connection, const ConnectionReport& r, bool headerless) {
    std::printf("connection %" PRIu64 ": %s, %" PRIu64 " blocks, %" PRIu64 " bytes", connection,
                headerless    ? "no header"
                : r.header_ok ? "header ok"
                              : "header WRONG",
                r.blocks, r.bytes);
    if (r.blocks > 0) {
        std::printf(", seq %" PRIu64 "..%" PRIu64 ", %" PRIu64 " gaps", r.first_sequence,
                    r.last_sequence, r.gaps);
    }
    if (r.test_stream) std::printf(", %" PRIu64 " corrupt", corrupt_blocks(r));
    std::printf(", cut tail %" PRIu64 " bytes", r.cut_tail);
    if (r.malformed > 0) std::printf(", %" PRIu64 " malformed bytes", r.malformed);
    std::printf(": %s\n", intact(r) ? "intact" : "NOT INTACT");
}

// The whole capture: connections so far and the one being read.
struct Capture {
    bool headerless;
    std::uint64_t bytes;
    std::uint64_t connections;
    std::uint64_t blocks;
    std::uint64_t broken;
    bool open;  // the current connection has begun (a header or a byte)
    ConnectionReport current;
    std::uint32_t matched;  // bytes of the relay's header matched so far, held back
};

// Where a partial match of the relay's header goes on after a mismatch (Knuth-Morris-Pratt):
// fallback[q] is the longest proper prefix of its first q + 1 bytes that is also a suffix.
std::uint32_t fallback[RESPONSE_HEADER_SIZE];

void prepare_header_search() {
    const char* h = RESPONSE_HEADER;
    std::uint32_t k = 0;
    fallback[0] = 0;
    for (std::uint32_t q = 1; q < RESPONSE_HEADER_SIZE; ++q) {
        while (k > 0 && h[q] != h[k]) k = fallback[k - 1];
        if (h[q] == h[k]) ++k;
        fallback[q] = k;
    }
}

void close_connection(Capture* c) {
    if (!c->open) return;
    end_connection(&c->current);
    c->connections += 1;
    c->blocks += c->current.blocks;
    if (!intact(c->current)) c->broken += 1;
    print(c->connections, c->current, c->headerless);
    c->current = ConnectionReport{};
    c->open = false;
}

void stream_byte(Capture* c, std::uint8_t byte) {
    if (!c->open) c->current.header_ok = c->headerless;  // -n: none was expected
    c->open = true;
    take_byte(&c->current, byte);
}

// One byte of the capture. Bytes that may begin the relay's header are held back until they
// either complete it, which starts a connection, or cannot, and go to the current one.
void capture_byte(Capture* c, std::uint8_t byte) {
    c->bytes += 1;
    if (c->headerless) return stream_byte(c, byte);
    const auto* h = reinterpret_cast<const std::uint8_t*>(RESPONSE_HEADER);
    std::uint32_t q = c->matched;
    while (q > 0 && h[q] != byte) q = fallback[q - 1];
    if (h[q] == byte) ++q;
    if (q == RESPONSE_HEADER_SIZE) {
        close_connection(c);  // what came before, if anything, was another connection
        c->open = true;
        c->current.header_ok = true;
        c->matched = 0;
        return;
    }
    // The held bytes and this one, less the q that still match: the oldest are released.
    std::uint32_t released = c->matched + 1 - q;
    for (std::uint32_t k = 0; k < released && k < c->matched; ++k) stream_byte(c, h[k]);
    if (q == 0) stream_byte(c, byte);
    c->matched = q;
}

void end_capture(Capture* c) {
    const auto* h = reinterpret_cast<const std::uint8_t*>(RESPONSE_HEADER);
    for (std::uint32_t k = 0; k < c->matched; ++k) stream_byte(c, h[k]);
    c->matched = 0;
    close_connection(c);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse_options(argc, argv, &o)) {
        usage();
        return 2;
    }
    std::FILE* in = stdin;
    if (o.path != nullptr) {
        in = std::fopen(o.path, "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "blockcheck: cannot open %s\n", o.path);
            return 2;
        }
    }
    prepare_header_search();
    static Capture capture;  // zero: no connection yet
    capture.headerless = o.headerless;
    static std::uint8_t buffer[65536];
    for (;;) {
        std::size_t n = std::fread(buffer, 1, sizeof buffer, in);
        for (std::size_t k = 0; k < n; ++k) capture_byte(&capture, buffer[k]);
        if (n < sizeof buffer) break;
    }
    if (std::ferror(in) != 0) {
        std::fprintf(stderr, "blockcheck: read error\n");
        return 2;
    }
    end_capture(&capture);
    bool ok = capture.connections > 0 && capture.broken == 0 && capture.blocks > 0;
    std::printf("total: %" PRIu64 " connections, %" PRIu64 " blocks, %" PRIu64 " bytes: %s\n",
                capture.connections, capture.blocks, capture.bytes, ok ? "intact" : "NOT INTACT");
    return ok ? 0 : 1;
}
