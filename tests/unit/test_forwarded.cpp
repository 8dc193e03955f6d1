// SPDX-License-Identifier: MIT
// feedlink's ring of forwarded blocks: which blocks of a new upstream connection are ones it
// has already sent downstream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forwarded.h"

namespace {

// Block k: the same length, opaque field and hash every time it is seen.
ForwardedBlock B(std::uint32_t k) { return {100, k, 7919ULL * k + 1}; }

struct RingCase {
    const char* name;
    std::vector<ForwardedBlock> forwarded;  // by earlier connections, oldest first
    std::vector<ForwardedBlock> arriving;   // on the new connection
    std::string decisions;                  // S: skipped, F: forwarded (and then recorded)
};

void PrintTo(const RingCase& c, std::ostream* os) { *os << c.name; }

std::vector<ForwardedBlock> blocks(std::uint32_t from, std::uint32_t to) {  // from..to-1
    std::vector<ForwardedBlock> v;
    for (std::uint32_t k = from; k < to; ++k) v.push_back(B(k));
    return v;
}

constexpr std::uint32_t RING = FORWARDED_RING_SIZE;

const RingCase CASES[] = {
    {"nothing forwarded yet", {}, blocks(0, 3), "FFF"},
    {"it retraces the newest blocks, then goes on", blocks(0, 5), blocks(3, 7), "SSFF"},
    {"it may start further back", blocks(0, 5), blocks(1, 6), "SSSSF"},
    {"once off the retraced blocks, all goes", blocks(0, 5), {B(2), B(9), B(3)}, "SFF"},
    {"a block that differs in its hash only is new", blocks(0, 3), {{100, 2, 1}, B(3)}, "FF"},
    {"or in its length only", blocks(0, 3), {{99, 2, B(2).hash}}, "F"},
    {"of a run of equal blocks only the newest is skipped", {B(1), B(1)}, {B(1), B(1)}, "SF"},
    {"the ring forgets the oldest beyond its size", blocks(0, RING + 6), {B(5), B(6)}, "FF"},
    {"and remembers the rest", blocks(0, RING + 6), {B(6), B(7)}, "SS"},
};

class Forwarded : public testing::TestWithParam<RingCase> {};

TEST_P(Forwarded, SkipsOnlyWhatANewConnectionRetraces) {
    const RingCase& c = GetParam();
    ForwardedRing ring{};
    for (const ForwardedBlock& b : c.forwarded) forwarded_record(&ring, b);
    forwarded_new_connection(&ring);
    std::string decisions;
    for (const ForwardedBlock& b : c.arriving) {
        bool skip = forwarded_decide(&ring, b) == SKIP;
        if (!skip) forwarded_record(&ring, b);
        decisions += skip ? "S" : "F";
    }
    EXPECT_EQ(c.decisions, decisions);
}

INSTANTIATE_TEST_SUITE_P(Connections, Forwarded, testing::ValuesIn(CASES));

}  // namespace
