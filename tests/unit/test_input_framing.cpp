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

// Where the input stands after the last read.
enum Ending { AT_BOUNDARY, INSIDE_BLOCK, PLAIN };

struct FramingCase {
    const char* name;
    std::vector<std::string> reads;   // the input, read by read
    std::vector<std::size_t> firsts;  // framing_advance's answer for each read
    Ending ending;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

const std::string A = filled_block(10, 'a', 0);         // 22 bytes
const std::string B = filled_block(100, 'b', 1);        // 112 bytes
const std::string EMPTY = block_header(0, 2);           // a block of its header alone
const std::size_t NONE = static_cast<std::size_t>(-1);  // the read's size: no boundary in it

const FramingCase CASES[] = {
    {"a block stream starts at a boundary", {A + B}, {0}, AT_BOUNDARY},
    {"a boundary inside a read", {B.substr(0, 50), B.substr(50) + A}, {0, 62}, AT_BOUNDARY},
    {"a boundary right after a read is the next one's start", {A, B}, {0, 0}, AT_BOUNDARY},
    {"a header split across reads", {A + B.substr(0, 5), B.substr(5)}, {0, NONE}, AT_BOUNDARY},
    {"a read that ends inside a header", {A + B.substr(0, 5)}, {0}, INSIDE_BLOCK},
    {"a payload longer than the reads",
     {B.substr(0, 40), B.substr(40, 40)},
     {0, NONE},
     INSIDE_BLOCK},
    {"blocks of no payload", {EMPTY + EMPTY, A}, {0, 0}, AT_BOUNDARY},
    {"no block stream: plain from the first byte", {"hello", "world"}, {0, 0}, PLAIN},
    {"a marker missing where a block begins",
     {B.substr(0, 30), B.substr(30) + "junk"},
     {0, 82},
     PLAIN},
    {"plain after a broken marker goes on from any byte", {A + "<BLX", "more"}, {0, 0}, PLAIN},
    // A length no relay can hold is no block: following it would skip gigabytes of input.
    {"a length no relay can hold", {A + block_header(0xFFFFFFFFU) + "x", B}, {0, 0}, PLAIN},
    {"the largest length a relay holds",
     {A + block_header(RELAY_BLOCK_MAX - 12)},
     {0},
     INSIDE_BLOCK},
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
    EXPECT_EQ(c.ending == PLAIN, framing.kind == PLAIN_BYTES);
    EXPECT_EQ(c.ending != INSIDE_BLOCK, framing_at_boundary(&framing));
}

INSTANTIATE_TEST_SUITE_P(Inputs, Framing, testing::ValuesIn(CASES));

}  // namespace
