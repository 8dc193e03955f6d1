// blockcheck: checks a listener's capture (what feedfetch wrote, or what curl -i saved). The
// capture is split at each response header, one per connection; each connection must begin
// with the relay's header and go on with well-formed blocks, of which only the last may be cut
// short (its connection ended there). Streams from blockframe's test mode must also run on
// without a gap and without a changed byte.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "wire.h"

namespace {

struct ConnectionReport {
    bool header_ok = false;
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;  // after the header
    bool test_stream = true;  // every block so far is a test-mode block
    std::uint64_t first_sequence = 0;
    std::uint64_t last_sequence = 0;
    std::uint64_t gaps = 0;
    std::uint64_t corrupt = 0;    // test-mode blocks with a changed byte
    std::uint64_t cut_tail = 0;   // bytes of a last block cut short
    std::uint64_t malformed = 0;  // bytes that are no block at all
};

bool read_all(std::FILE* in, std::vector<std::uint8_t>* out) {
    std::uint8_t buf[65536];
    for (;;) {
        std::size_t n = std::fread(buf, 1, sizeof buf, in);
        out->insert(out->end(), buf, buf + n);
        if (n < sizeof buf) return std::ferror(in) == 0;
    }
}

// The next response header at or after `from`, or size when there is none.
std::size_t next_header(const std::vector<std::uint8_t>& c, std::size_t from) {
    const auto* h = reinterpret_cast<const std::uint8_t*>(RESPONSE_HEADER);
    for (std::size_t at = from; at + RESPONSE_HEADER_SIZE <= c.size(); ++at) {
        if (c[at] == h[0] && std::memcmp(c.data() + at, h, RESPONSE_HEADER_SIZE) == 0) return at;
    }
    return c.size();
}

bool is_test_block(const std::uint8_t* block, std::uint32_t length, std::uint64_t* sequence,
                   bool* intact) {
    if (length < TEST_PAYLOAD_MIN) return false;
    const std::uint8_t* payload = block + BLOCK_HEADER_SIZE;
    *sequence = read_u64_le(payload);
    if (static_cast<std::uint32_t>(*sequence) != read_u32_le(block + 8)) return false;
    *intact = true;
    for (std::uint32_t i = TEST_PAYLOAD_MIN; i < length; ++i) {
        if (payload[i] != test_filler_byte(*sequence, i)) *intact = false;
    }
    return true;
}

// Checks the blocks of one connection, from `at` up to `end` (the next header or the end).
void check_blocks(const std::vector<std::uint8_t>& c, std::size_t at, std::size_t end,
                  ConnectionReport* r) {
    r->bytes = end - at;
    while (at < end) {
        std::size_t left = end - at;
        if (left < BLOCK_HEADER_SIZE) {
            if (std::memcmp(c.data() + at, "<BL>", left < 4 ? left : 4) == 0) {
                r->cut_tail = left;
            } else {
                r->malformed += left;
            }
            return;
        }
        if (!is_block_marker(c.data() + at)) {
            r->malformed += left;
            return;
        }
        std::uint64_t size =
            BLOCK_HEADER_SIZE + static_cast<std::uint64_t>(read_u32_le(c.data() + at + 4));
        if (size > left) {
            r->cut_tail = left;
            return;
        }
        std::uint64_t sequence = 0;
        bool intact = false;
        if (is_test_block(c.data() + at, static_cast<std::uint32_t>(size - BLOCK_HEADER_SIZE),
                          &sequence, &intact)) {
            if (r->blocks == 0) {
                r->first_sequence = sequence;
            } else if (sequence != r->last_sequence + 1) {
                r->gaps += 1;
            }
            r->last_sequence = sequence;
            if (!intact) r->corrupt += 1;
        } else {
            r->test_stream = false;
        }
        r->blocks += 1;
        at += size;
    }
}

bool intact(const ConnectionReport& r) {
    return r.header_ok && r.malformed == 0 && (!r.test_stream || (r.gaps == 0 && r.corrupt == 0));
}

void print(const char* label, const ConnectionReport& r) {
    std::printf("%s: header %s, %" PRIu64 " blocks, %" PRIu64 " bytes", label,
                r.header_ok ? "ok" : "WRONG", r.blocks, r.bytes);
    if (r.test_stream && r.blocks > 0) {
        std::printf(", seq %" PRIu64 "..%" PRIu64 ", %" PRIu64 " gaps, %" PRIu64 " corrupt",
                    r.first_sequence, r.last_sequence, r.gaps, r.corrupt);
    }
    std::printf(", cut tail %" PRIu64 " bytes", r.cut_tail);
    if (r.malformed > 0) std::printf(", %" PRIu64 " malformed bytes", r.malformed);
    std::printf(": %s\n", intact(r) ? "intact" : "NOT INTACT");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0')) {
        std::fputs("Usage: blockcheck [capture_file]   (standard input without a file or with -)\n",
                   stderr);
        return 2;
    }
    std::FILE* in = stdin;
    if (argc == 2 && std::strcmp(argv[1], "-") != 0) {
        in = std::fopen(argv[1], "rb");
        if (in == nullptr) {
            std::fprintf(stderr, "blockcheck: cannot open %s\n", argv[1]);
            return 2;
        }
    }
    std::vector<std::uint8_t> capture;
    if (!read_all(in, &capture)) {
        std::fprintf(stderr, "blockcheck: read error\n");
        return 2;
    }
    std::uint64_t connections = 0;
    std::uint64_t blocks = 0;
    std::uint64_t broken = 0;
    std::size_t at = 0;
    while (at < capture.size()) {
        ConnectionReport r;
        std::size_t header = next_header(capture, at);
        std::size_t start = at;
        if (header == at) {
            r.header_ok = true;
            start = at + RESPONSE_HEADER_SIZE;
        }
        std::size_t end = next_header(capture, start);
        check_blocks(capture, start, end, &r);
        connections += 1;
        blocks += r.blocks;
        if (!intact(r)) broken += 1;
        std::string label = "connection " + std::to_string(connections);
        print(label.c_str(), r);
        at = end;
    }
    bool ok = connections > 0 && broken == 0;
    std::printf("total: %" PRIu64 " connections, %" PRIu64 " blocks, %zu bytes: %s\n", connections,
                blocks, capture.size(), ok ? "intact" : "NOT INTACT");
    return ok ? 0 : 1;
}
