// SPDX-License-Identifier: MIT
// feedsend's input framing: where a connection may begin, read by read, for block streams split
// at any place and for input that is, or stops being, a block stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blocks.h"
#include "input_framing.h"

using namespace testkit;

namespace {

struct FramingCase {
    const char* name;
    std::vector<std::string> reads;   // the input, read by read
    std::vector<std::size_t> firsts;  // framing_advance's answer for each read
    InputKind kind;                   // after the last read
    bool at_boundary;                 // after the last read
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

const std::string A = filled_block(10, 'a', 0);         // 22 bytes
const std::string B = filled_block(100, 'b', 1);        // 112 bytes
const std::string EMPTY = block_header(0, 2);           // a block of its header alone
const std::size_t NONE = static_cast<std::size_t>(-1);  // the read's size: no boundary in it

const FramingCase CASES[] = {
    {"a block stream starts at a boundary", {A + B}, {0}, BLOCK_STREAM, true},
    {"a boundary inside a read", {B.substr(0, 50), B.substr(50) + A}, {0, 62}, BLOCK_STREAM, true},
    {"a boundary right after a read is the next read's first byte",
     {A, B},
     {0, 0},
     BLOCK_STREAM,
     true},
    {"a header split across reads",
     {A + B.substr(0, 5), B.substr(5, 7), B.substr(12)},
     {0, NONE, NONE},
     BLOCK_STREAM,
     true},
    {"a read ending inside a header is no boundary",
     {A + B.substr(0, 5)},
     {0},
     BLOCK_STREAM,
     false},
    {"a payload longer than the reads",
     {B.substr(0, 40), B.substr(40, 40)},
     {0, NONE},
     BLOCK_STREAM,
     false},
    {"blocks of no payload", {EMPTY + EMPTY, A}, {0, 0}, BLOCK_STREAM, true},
    {"input that is no block stream is plain from its first byte",
     {"hello", "world"},
     {0, 0},
     PLAIN_BYTES,
     true},
    {"a marker missing where a block begins: plain from there",
     {B.substr(0, 30), B.substr(30) + "junk"},
     {0, 82},
     PLAIN_BYTES,
     true},
    {"plain after a broken marker goes on from any byte",
     {A + "<BLX", "more"},
     {0, 0},
     PLAIN_BYTES,
     true},
};

class Framing : public testing::TestWithParam<FramingCase> {};

TEST_P(Framing, FindsWhereAConnectionMayBegin) {
    const FramingCase& c = GetParam();
    InputFraming framing{};
    std::vector<std::size_t> firsts;
    for (const std::string& r : c.reads) {
        std::size_t first =
            framing_advance(&framing, reinterpret_cast<const std::uint8_t*>(r.data()), r.size());
        firsts.push_back(first == r.size() ? NONE : first);
    }
    EXPECT_EQ(c.firsts, firsts);
    EXPECT_EQ(c.kind, framing.kind);
    EXPECT_EQ(c.at_boundary, framing_at_boundary(&framing));
}

INSTANTIATE_TEST_SUITE_P(Inputs, Framing, testing::ValuesIn(CASES));

}  // namespace
