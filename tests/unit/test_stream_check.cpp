// SPDX-License-Identifier: MIT
// The stream checker's verdicts: every block it reports, with its number and faults, for streams
// fed in pieces of 1, 5, 13 bytes and whole; and the split of a capture into its connections at
// the relay's headers, fed the same ways.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blocks.h"
#include "capture_split.h"
#include "stream_check.h"

using namespace testkit;

namespace {

struct Verdict {
    std::uint64_t number;  // 0 where the block was never numbered
    std::uint32_t faults;
    std::uint32_t size;
    bool operator==(const Verdict&) const = default;
};

void PrintTo(const Verdict& v, std::ostream* os) {
    *os << "{" << v.number << ", faults 0x" << std::hex << v.faults << std::dec << ", " << v.size
        << " bytes}";
}

struct CheckCase {
    const char* name;
    std::string stream;  // as received, the response header included when there is one
    std::vector<Verdict> blocks;
    bool header_wrong = false;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint32_t SIZE = BLOCK_HEADER_SIZE + 40;  // T's blocks
constexpr std::uint32_t CUT = FAULT_CUT;
constexpr std::int64_t SENT_NS = 1000;  // block k was sent at SENT_NS + k

std::string T(std::uint64_t k) { return test_block(k, 40, SENT_NS + static_cast<std::int64_t>(k)); }
std::string Ts(std::uint64_t from, std::uint64_t to) {  // blocks from..to-1
    std::string s;
    for (std::uint64_t k = from; k < to; ++k) s += T(k);
    return s;
}
std::string with_byte(std::string s, std::size_t at, char byte) {
    s[at] = byte;
    return s;
}
// Block 1 of 100 payload bytes, whose header declares the largest block a relay holds.
std::string largest_block_start() {
    std::string b = test_block(1, 100, SENT_NS + 1);
    std::string h = block_header(RELAY_BLOCK_MAX - BLOCK_HEADER_SIZE, 1);
    return h + b.substr(BLOCK_HEADER_SIZE);
}

const CheckCase CASES[] = {
    {"test blocks in order", HEADER + Ts(0, 3), {{0, 0, SIZE}, {1, 0, SIZE}, {2, 0, SIZE}}},
    {"a wrong response header", with_byte(HEADER, 5, '9') + T(0), {{0, 0, SIZE}}, true},
    {"a block missing", HEADER + T(0) + T(2), {{0, 0, SIZE}, {2, FAULT_MISSING, SIZE}}},
    {"a block repeated",
     HEADER + T(0) + T(0) + T(1),
     {{0, 0, SIZE}, {0, FAULT_REPEATED, SIZE}, {1, 0, SIZE}}},
    {"blocks out of order",
     HEADER + T(0) + T(2) + T(1),
     {{0, 0, SIZE}, {2, FAULT_MISSING, SIZE}, {1, FAULT_OUT_OF_ORDER, SIZE}}},
    {"cut short by the end", HEADER + T(0) + T(1).substr(0, 30), {{0, 0, SIZE}, {1, CUT, 30}}},
    {"cut inside the header: no number",
     HEADER + T(0) + T(1).substr(0, 6),
     {{0, 0, SIZE}, {0, CUT, 6}}},
    {"cut before the payload's number: the opaque field's",
     HEADER + T(0) + T(1).substr(0, 15),
     {{0, 0, SIZE}, {1, CUT, 15}}},
    {"cut short, then another block: its bytes end the first, spliced, and framing is lost",
     HEADER + T(0) + T(1).substr(0, 30) + Ts(2, 4),
     {{0, 0, SIZE}, {1, FAULT_SPLICED | FAULT_FILLER, SIZE}, {0, FAULT_NO_MARKER, 1}}},
    {"a length grown over the next block's header",
     HEADER + T(0) + block_header(40 + SIZE, 1) + T(1).substr(BLOCK_HEADER_SIZE) + T(2) + T(3),
     {{0, 0, SIZE}, {1, FAULT_SPLICED | FAULT_FILLER, 2 * SIZE}, {3, FAULT_MISSING, SIZE}}},
    {"a marker in a payload whose length no relay holds splices nothing",
     HEADER + make_block("<BL>" + std::string("\xFF\xFF\xFF\xFF", 4) + "tail", 0) + T(1),
     {{0, FAULT_SHORT | FAULT_OPAQUE, 24}, {1, 0, SIZE}}},
    {"cut short, another block's header after",
     HEADER + T(0) + T(1).substr(0, 30) + T(2).substr(0, 15),
     {{0, 0, SIZE}, {0, FAULT_SPLICED | FAULT_FILLER, 45}}},
    {"cut short, a marker after whose length is cut",
     HEADER + T(0) + T(1).substr(0, 30) + "<BL>\x28",
     {{0, 0, SIZE}, {0, FAULT_SPLICED | FAULT_FILLER, 35}}},
    {"no marker where a block begins",
     HEADER + T(0) + "junk" + T(1),
     {{0, 0, SIZE}, {0, FAULT_NO_MARKER, 1}}},
    {"a marker wrong in its third byte",
     HEADER + with_byte(T(0), 2, 'X'),
     {{0, FAULT_NO_MARKER, 3}}},
    {"a length a relay cannot hold",
     HEADER + T(0) + block_header(RELAY_BLOCK_MAX - 11, 1) + T(2),
     {{0, 0, SIZE}, {0, FAULT_LENGTH, 8}}},
    {"a length of 0xFFFFFFFF", HEADER + block_header(0xFFFFFFFF) + T(0), {{0, FAULT_LENGTH, 8}}},
    {"the largest length a relay holds",
     HEADER + T(0) + largest_block_start(),
     {{0, 0, SIZE}, {1, CUT, 112}}},
    {"an opaque field that is not the number numbers the block",
     HEADER + T(0) + with_byte(T(1), 8, 7) + T(2),
     {{0, 0, SIZE}, {7, FAULT_OPAQUE | FAULT_MISSING, SIZE}, {2, FAULT_OUT_OF_ORDER, SIZE}}},
    {"a filler byte changed",
     HEADER + T(0) + with_byte(T(1), SIZE - 1, '!') + T(2),
     {{0, 0, SIZE}, {1, FAULT_FILLER, SIZE}, {2, 0, SIZE}}},
    {"a filler byte changed in a cut tail",
     HEADER + T(0) + with_byte(T(1), 30, '!').substr(0, 40),
     {{0, 0, SIZE}, {1, FAULT_FILLER | CUT, 40}}},
    {"payloads too short for a number",
     HEADER + T(0) + make_block(std::string(1, 1) + std::string(7, 0), 1) + block_header(0, 2),
     {{0, 0, SIZE}, {1, FAULT_SHORT, 20}, {2, FAULT_SHORT, 12}}},
    {"another producer's blocks, numbered by their opaque field",
     HEADER + filled_block(100, '\0', 0) + filled_block(100, '\0', 1) + filled_block(16, '\0', 2),
     {{0, FAULT_FILLER, 112}, {1, FAULT_OPAQUE | FAULT_FILLER, 112}, {2, FAULT_OPAQUE, 28}}},
    {"an opaque field numbers on across 2^32",
     HEADER + test_block(0xFFFFFFFF, 40, SENT_NS + 0xFFFFFFFF) + filled_block(20, '\0', 0),
     {{0xFFFFFFFF, 0, SIZE}, {0x100000000, FAULT_FILLER, 32}}},
};

// The stream fed in pieces of `piece` bytes, each taken at the clock reading of its offset;
// every block reported, the end's included.
std::vector<CheckedBlock> check_in_pieces(const std::string& stream, std::size_t piece,
                                          StreamCheck* check) {
    std::vector<CheckedBlock> out;
    const auto* p = reinterpret_cast<const std::uint8_t*>(stream.data());
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        std::size_t n = std::min(piece, stream.size() - at);
        for (std::size_t used = 0; used < n;) {
            CheckedBlock ended{};
            used +=
                check_bytes(check, p + at + used, n - used, static_cast<std::int64_t>(at), &ended);
            if (ended.size > 0) out.push_back(ended);
        }
    }
    CheckedBlock ended{};
    if (check_end(check, &ended) == 1) out.push_back(ended);
    return out;
}

class StreamChecker : public testing::TestWithParam<CheckCase> {};

TEST_P(StreamChecker, ReportsEveryBlockWithItsNumberAndFaults) {
    const CheckCase& c = GetParam();
    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{13}, c.stream.size()}) {
        StreamCheck check{};
        check.phase = CHECK_RESPONSE;
        check.hashing = true;
        std::vector<CheckedBlock> got = check_in_pieces(c.stream, piece, &check);
        std::vector<Verdict> verdicts;
        std::size_t at = HEADER.size();
        for (const CheckedBlock& b : got) {
            verdicts.push_back({b.number, b.faults, b.size});
            // Stamps: the pieces that held its first and last byte.
            EXPECT_EQ(static_cast<std::int64_t>(at / piece * piece), b.first_at) << piece;
            EXPECT_EQ(static_cast<std::int64_t>((at + b.size - 1) / piece * piece), b.last_at);
            if ((b.faults & (NOT_TEST_FAULTS | FRAMING_FAULTS)) == 0 && b.size >= 28) {
                EXPECT_EQ(SENT_NS + static_cast<std::int64_t>(b.number), b.sent_wall_ns);
            }
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.stream.data()) + at;
            EXPECT_EQ(fnv1a(FNV1A_BASIS, bytes, b.size), b.hash) << "block at " << at;
            at += b.size;
        }
        EXPECT_EQ(c.blocks, verdicts) << "in pieces of " << piece;
        EXPECT_EQ(c.header_wrong, check.header_wrong);
        EXPECT_EQ(c.stream.size() - at, check.unframed_bytes) << "in pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamChecker, testing::ValuesIn(CASES));

struct SplitCase {
    const char* name;
    std::string capture;
    std::vector<std::string>
        connections;  // each one's stream bytes; the first is before any header
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

const std::string HEADER_BUT_LAST = HEADER.substr(0, HEADER.size() - 1);

const SplitCase SPLITS[] = {
    {"no header: one connection", "abc", {"abc"}},
    {"a header, then its stream", HEADER + "abc", {"", "abc"}},
    {"a stream cut short, then a header", "ab" + HEADER + "cd", {"ab", "cd"}},
    {"two headers back to back", HEADER + HEADER + "z", {"", "", "z"}},
    {"the header's start, then the header",
     HEADER.substr(0, 40) + HEADER + "x",
     {HEADER.substr(0, 40), "x"}},
    {"the header less its last byte, then another byte",
     HEADER_BUT_LAST + "x" + HEADER,
     {HEADER_BUT_LAST + "x", ""}},
    {"the header less its last byte at the end",
     "a" + HEADER + HEADER_BUT_LAST,
     {"a", HEADER_BUT_LAST}},
};

class CaptureSplitter : public testing::TestWithParam<SplitCase> {};

TEST_P(CaptureSplitter, CutsACaptureAtEachHeader) {
    const SplitCase& c = GetParam();
    const auto* p = reinterpret_cast<const std::uint8_t*>(c.capture.data());
    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{13}, c.capture.size()}) {
        CaptureSplit split{};
        std::vector<std::string> got = {""};
        auto take = [&](const CapturePiece& k) {
            got.back().append(reinterpret_cast<const char*>(k.bytes), k.size);
            if (k.header_ended) got.emplace_back();
        };
        for (std::size_t at = 0; at < c.capture.size(); at += piece) {
            std::size_t n = std::min(piece, c.capture.size() - at);
            for (std::size_t used = 0; used < n;) {
                CapturePiece k{};
                used += split_capture(&split, p + at + used, n - used, &k);
                take(k);
            }
        }
        take(end_capture_split(&split));
        EXPECT_EQ(c.connections, got) << "in pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureSplitter, testing::ValuesIn(SPLITS));

}  // namespace
