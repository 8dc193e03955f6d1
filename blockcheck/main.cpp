// SPDX-License-Identifier: MIT
// blockcheck: checks a listener's capture (what feedfetch wrote, what curl -i saved, or with -n
// what curl or wget saved without the header). The capture is split at each response header,
// one per connection; each connection must begin with the relay's header and go on with
// well-formed blocks, numbered one after the other, of which only the last may be cut short,
// and only where its connection ended. Test-mode blocks must also carry their test payload
// unchanged. The capture is read as a stream in constant memory: the stream checker takes each
// connection's bytes as they go by and keeps nothing of a block but its header and number;
// this program finds the connections and turns the blocks it reports into a line each.

#include <getopt.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "capture_split.h"
#include "command_line.h"
#include "stream_check.h"
#include "wire.h"

namespace {

// What one connection has shown: its header, and the blocks the checker reported in it.
struct ConnectionReport {
    bool header_ok;
    std::uint64_t bytes;  // after the header
    std::uint64_t blocks;
    std::uint64_t test_blocks;  // whole blocks that carry a test payload of their number
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
    StreamCheck check;
};

struct Options {
    bool headerless = false;  // -n: one connection, without the relay's header
    const char* path = nullptr;
};

Options options;  // module state: the command line's, set once before anything else runs

ArgumentAnswer read_arguments(int argc, char** argv) {
    int c = 0;
    opterr = 0;  // the usage text says what is wrong, once
    while ((c = getopt(argc, argv, "n")) != -1) {
        if (c != 'n') return ARGUMENTS_UNUSABLE;
        options.headerless = true;
    }
    if (argc - optind > 1) return ARGUMENTS_UNUSABLE;
    if (argc - optind == 1 && std::strcmp(argv[optind], "-") != 0) options.path = argv[optind];
    return ARGUMENTS_TAKEN;
}

constexpr char USAGE[] =
    "Usage: blockcheck [-n] [capture_file]   (standard input without a file or with -)\n"
    "  -n  the capture has no relay header, as curl and wget save it: one connection";
constexpr CommandLine COMMAND_LINE = {"blockcheck", USAGE, BLOCK_TOOL, read_arguments};

// One block the checker reported. Only a plain cut tail may fall short of the one rule for a
// whole block, and it can only be the connection's last; anything else that falls short of it
// (a block that lost its framing, or one with another block's header inside) is malformed.
void count_block(ConnectionReport* r, const CheckedBlock& b) {
    if ((b.faults & ORDER_FAULTS) != 0) r->gaps += 1;
    bool test = (b.faults & NOT_TEST_FAULTS) == 0;
    if (block_whole(b)) {
        if (r->blocks == 0) r->first_sequence = b.number;
        r->last_sequence = b.number;
        r->blocks += 1;
        if (test) r->test_blocks += 1;
        if (test && (b.length > TEST_PAYLOAD_MIN || b.number != 0)) r->test_stream = true;
    } else if ((b.faults & FRAMING_FAULTS) != 0) {
        r->malformed += b.size;
    } else {
        r->cut_tail = b.size;
        r->tail_changed = !test;
    }
}

// n bytes of a connection's stream, after its header.
void take_bytes(ConnectionReport* r, const std::uint8_t* bytes, std::size_t n) {
    r->bytes += n;
    for (std::size_t used = 0; used < n;) {
        CheckedBlock b{};
        used += check_bytes(&r->check, bytes + used, n - used, 0, &b);
        if (b.size > 0) count_block(r, b);
    }
}

void end_connection(ConnectionReport* r) {
    CheckedBlock b{};
    if (check_end(&r->check, &b) == 1) count_block(r, b);
    r->malformed += r->check.unframed_bytes;
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
    CaptureSplit split;
};

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

// Bytes of the current connection's stream: a connection begins with its first.
void stream_bytes(Capture* c, const std::uint8_t* bytes, std::size_t n) {
    if (n == 0) return;
    if (!c->open) c->current.header_ok = c->headerless;  // -n: none was expected
    c->open = true;
    take_bytes(&c->current, bytes, n);
}

// One read of the capture, split at the relay's headers: each header closes the connection
// before it, if any, and opens the next.
void capture_bytes(Capture* c, const std::uint8_t* bytes, std::size_t n) {
    c->bytes += n;
    if (c->headerless) return stream_bytes(c, bytes, n);
    for (std::size_t used = 0; used < n;) {
        CapturePiece piece{};
        used += split_capture(&c->split, bytes + used, n - used, &piece);
        stream_bytes(c, piece.bytes, piece.size);
        if (piece.header_ended) {
            close_connection(c);
            c->open = true;
            c->current.header_ok = true;
        }
    }
}

void end_capture(Capture* c) {
    CapturePiece piece = end_capture_split(&c->split);
    stream_bytes(c, piece.bytes, piece.size);
    close_connection(c);
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = open_command_line(COMMAND_LINE, argc, argv); status != GO_ON) return status;
    std::FILE* in = stdin;
    if (options.path != nullptr) {
        in = std::fopen(options.path, "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "blockcheck: cannot open %s\n", options.path);
            return 2;
        }
    }
    static Capture capture;  // zero: no connection yet
    capture.headerless = options.headerless;
    static std::uint8_t buffer[65536];
    for (;;) {
        std::size_t n = std::fread(buffer, 1, sizeof buffer, in);
        capture_bytes(&capture, buffer, n);
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
