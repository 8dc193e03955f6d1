// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "blocks.h"
#include "stream_window.h"

namespace {

using testkit::block_header;

std::string block(std::uint32_t payload, char fill_byte) {
    return testkit::filled_block(payload, fill_byte);
}

// A stream of n blocks of the given payload size, each filled with its own letter.
std::string blocks(int n, std::uint32_t payload) {
    std::string s;
    for (int k = 0; k < n; ++k) s += block(payload, static_cast<char>('a' + k % 26));
    return s;
}

// What window_append answers: where held bytes were discarded, if anywhere.
std::uint64_t append(StreamWindow& w, const std::string& bytes) {
    return window_append(w, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         static_cast<std::uint32_t>(bytes.size()));
}

// The bytes held, in stream order, read straight out of the ring.
std::string held(const StreamWindow& w) {
    const char* data = reinterpret_cast<const char*>(w.data);
    std::uint32_t first = WINDOW_CAPACITY - w.start < w.fill ? WINDOW_CAPACITY - w.start : w.fill;
    return std::string(data + w.start, first) + std::string(data, w.fill - first);
}

// What players are served from position on, piece by piece, as window_read gives it.
std::string served(const StreamWindow& w, std::uint64_t position) {
    std::string s;
    for (WindowPiece p = window_read(w, position, 1460); p.answer == AVAILABLE;
         p = window_read(w, position, 1460)) {
        s.append(reinterpret_cast<const char*>(p.place), p.count);
        position += p.count;
    }
    return s;
}

// What must hold after every append, whatever was appended.
void expect_invariants(const StreamWindow& w, std::uint64_t base_before) {
    EXPECT_LE(w.fill, WINDOW_CAPACITY);
    EXPECT_GE(w.base, base_before);
    if (w.fill > 0) {
        EXPECT_EQ(FRAMED, w.mode);
        EXPECT_EQ("<BL>", held(w).substr(0, 4)) << "window does not begin with a block";
    }
}

struct StepCase {
    const char* name;
    std::string stream;                   // what the source sends, in order
    std::vector<std::uint32_t> cuts;      // sizes of the successive appends
    std::vector<std::uint64_t> base;      // base after each append
    std::vector<std::uint32_t> fill;      // fill after each append
    std::vector<std::uint64_t> complete;  // complete blocks counted after each append
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

const std::string B112 = blocks(10, 100);   // blocks of 112 bytes
const std::string B20 = blocks(10, 8);      // blocks of 20 bytes
const std::string B8012 = blocks(5, 8000);  // blockframe -s 8000, as feedsend delivers them

const StepCase STEP_CASES[] = {
    {"the read completing the third block drops nothing, the next drops the first",
     B112,
     {50, 100, 100, 86, 1},
     {0, 0, 0, 0, 112},
     {50, 150, 250, 336, 225},
     {0, 1, 2, 3, 3}},
    {"a third block one byte short drops nothing",
     B112,
     {335, 1, 1},
     {0, 0, 112},
     {335, 336, 225},
     {2, 3, 3}},
    {"an incomplete first block is never dropped",
     blocks(1, 60000) + B112,
     {20000, 20000, 20000},
     {0, 0, 0},
     {20000, 40000, 60000},
     {0, 0, 0}},
    {"one read bringing four blocks: the next reads drop one each while two complete follow",
     B20,
     {85, 1, 1, 1},
     {0, 20, 40, 40},
     {85, 66, 47, 48},
     {4, 4, 4, 4}},
    {"blocks with an empty payload count as complete",
     block(100, 'a') + block(0, 'b') + block(0, 'c') + B112,
     {136, 1},
     {0, 112},
     {136, 25},
     {3, 3}},
    // 1,460 bytes complete the second block with 712 of the third behind it; a listener at
    // live is then a piece behind the end, 748 bytes short of the second block's end, when
    // 7,300 bytes complete the third. The second block must still be held then.
    {"a burst completing the next block keeps the one a listener at live is finishing",
     B8012,
     {15276, 1460, 7300, 1460},
     {0, 0, 0, 8012},
     {15276, 16736, 24036, 17484},
     {1, 2, 3, 3}},
};

class WindowSteps : public testing::TestWithParam<StepCase> {};

TEST_P(WindowSteps, BaseAndFillFollowTheRule) {
    const StepCase& c = GetParam();
    auto w = std::make_unique<StreamWindow>();
    std::size_t sent = 0;
    for (std::size_t k = 0; k < c.cuts.size(); ++k) {
        std::uint64_t before = w->base;
        append(*w, c.stream.substr(sent, c.cuts[k]));
        sent += c.cuts[k];
        EXPECT_EQ(c.base[k], w->base) << "after append " << k;
        EXPECT_EQ(c.fill[k], w->fill) << "after append " << k;
        EXPECT_EQ(c.complete[k], w->complete_blocks) << "after append " << k;
        expect_invariants(*w, before);
        // Drops move whole blocks (overlapping moves included): what is held is the stream.
        EXPECT_EQ(c.stream.substr(w->base, w->fill), held(*w)) << "after append " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Appends, WindowSteps, testing::ValuesIn(STEP_CASES));

TEST(Window, UnmarkedBytesBehindTheNewestBlockAreCutUpToTheNextMarker) {
    auto w = std::make_unique<StreamWindow>();
    std::string two = block(100, 'a') + block(100, 'b');
    EXPECT_EQ(WINDOW_NOTHING_DISCARDED, append(*w, two + std::string(13, 'x')));
    // Cut at the next append, which begins no block either: it goes with them.
    EXPECT_EQ(224U, append(*w, "0123456789"));
    EXPECT_EQ(two, held(*w));
    // The next marker, in the middle of a read, starts the stream again behind the blocks.
    EXPECT_EQ(224U, append(*w, "zz" + block(10, 'c')));
    EXPECT_EQ(0U, w->base);
    EXPECT_EQ(two + block(10, 'c'), held(*w));
}

TEST(Window, BaseCarriesPast32Bits) {
    auto w = std::make_unique<StreamWindow>();
    const std::uint64_t start = 0xFFFFFFFFULL - 150;
    w->base = start;  // a window that has already dropped almost 4 GiB
    for (std::size_t at = 0; at < B112.size(); at += 56) append(*w, B112.substr(at, 56));
    EXPECT_GT(w->base, 0xFFFFFFFFULL);
    EXPECT_EQ(0U, (w->base - start) % 112);
    EXPECT_EQ(B112.substr(w->base - start, w->fill), held(*w));
    EXPECT_EQ(held(*w), served(*w, w->base));
}

struct JoinCase {
    const char* name;
    std::string stream;               // what the source sends, in order
    std::vector<std::uint32_t> cuts;  // sizes of the successive appends
    std::uint64_t join;               // where a new player starts afterwards
};

void PrintTo(const JoinCase& c, std::ostream* os) { *os << c.name; }

const JoinCase JOIN_CASES[] = {
    {"nothing appended yet", B112, {}, 0},
    {"one incomplete block", B112, {50}, 0},
    {"one complete block alone", B112, {112}, 0},
    {"one complete block and a begun second", B112, {112, 30}, 112},
    {"one complete block and a second whose length is not here yet", B112, {112, 5}, 0},
    {"one complete block and bytes that begin no marker", block(100, 'a') + "xyz", {115}, 0},
    {"two complete blocks", B112, {224}, 112},
    {"many complete blocks and a partial", B112, {610}, 560},
    {"the block arriving after a drop", B112, {448, 30}, 448},
    {"burst: a block under way behind a complete one", B8012, {15276}, 8012},
    {"burst: a block completed with the next one's head behind it", B8012, {15276, 1460}, 16024},
    {"burst: the next block completed in one read", B8012, {15276, 1460, 7300}, 16024},
    {"seeking through bytes before a marker", std::string(9, 'z') + B112, {9}, 9},
    {"seeking found the stream", std::string(9, 'z') + B112, {9, 40}, 9},
};

class WindowJoins : public testing::TestWithParam<JoinCase> {};

TEST_P(WindowJoins, ANewPlayerStartsAtTheNewestBlockItCanFollow) {
    const JoinCase& c = GetParam();
    auto w = std::make_unique<StreamWindow>();
    std::size_t sent = 0;
    for (std::uint32_t cut : c.cuts) {
        append(*w, c.stream.substr(sent, cut));
        sent += cut;
    }
    std::uint64_t join = window_join_point(*w);
    EXPECT_EQ(c.join, join);
    // Any join point inside what is held begins a block.
    if (join < w->base + w->fill) {
        EXPECT_EQ("<BL>", held(*w).substr(join - w->base, 4));
    }
}

INSTANTIATE_TEST_SUITE_P(States, WindowJoins, testing::ValuesIn(JOIN_CASES));

struct BeginCase {
    const char* name;
    std::string sent;         // what the old source sent, in one read
    std::uint64_t discarded;  // what window_begin_source answers
    std::uint64_t base;       // base and fill afterwards
    std::uint32_t fill;
};

void PrintTo(const BeginCase& c, std::ostream* os) { *os << c.name; }

const BeginCase BEGIN_CASES[] = {
    {"the old source ended at a block boundary", B112.substr(0, 224), WINDOW_NOTHING_DISCARDED, 0,
     224},
    {"a block left unfinished behind complete ones", B112.substr(0, 274), 224, 0, 224},
    {"a header cut short behind a complete block", B112.substr(0, 117), 112, 0, 112},
    {"only an unfinished first block", B112.substr(0, 50), 0, 0, 0},
    {"seeking, with the start of a marker carried", "zz<B", WINDOW_NOTHING_DISCARDED, 4, 0},
};

class WindowNewSource : public testing::TestWithParam<BeginCase> {};

TEST_P(WindowNewSource, CutsWhatTheOldSourceLeftUnfinished) {
    const BeginCase& c = GetParam();
    auto w = std::make_unique<StreamWindow>();
    append(*w, c.sent);
    EXPECT_EQ(c.discarded, window_begin_source(*w));
    EXPECT_EQ(c.base, w->base);
    EXPECT_EQ(c.fill, w->fill);
    // The new source's first block follows at once, whatever the old one left (the rule may
    // then drop a block from the front).
    std::string stream = c.sent.substr(0, c.fill) + block(30, 'n');
    append(*w, stream.substr(c.fill));
    EXPECT_EQ(stream.substr(w->base - c.base), held(*w));
}

INSTANTIATE_TEST_SUITE_P(OldSources, WindowNewSource, testing::ValuesIn(BEGIN_CASES));

struct ReadCase {
    const char* name;
    std::int64_t from_base;  // position relative to base
    std::uint32_t limit;
    WindowAnswer answer;
    std::uint32_t count;
    std::uint32_t offset;  // of place in data
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

// Over a window holding 300 bytes from base 1000.
const ReadCase READ_CASES[] = {
    {"one before base is behind", -1, 1460, BEHIND, 0, 0},
    {"at base", 0, 1460, AVAILABLE, 300, 0},
    {"at base with a small limit", 0, 7, AVAILABLE, 7, 0},
    {"inside", 250, 1460, AVAILABLE, 50, 250},
    {"inside with a limit of one", 250, 1, AVAILABLE, 1, 250},
    {"last byte", 299, 1460, AVAILABLE, 1, 299},
    {"at the end is nothing new", 300, 1460, NOTHING_NEW, 0, 0},
    {"far past the end is nothing new", 1 << 30, 1460, NOTHING_NEW, 0, 0},
};

class WindowReads : public testing::TestWithParam<ReadCase> {};

TEST_P(WindowReads, AnswersFromBaseAndFill) {
    const ReadCase& c = GetParam();
    auto w = std::make_unique<StreamWindow>();
    w->base = 1000;
    append(*w, block(288, 'a'));
    ASSERT_EQ(1000U, w->base);
    ASSERT_EQ(300U, w->fill);
    WindowPiece p = window_read(*w, static_cast<std::uint64_t>(1000 + c.from_base), c.limit);
    EXPECT_EQ(c.answer, p.answer);
    if (c.answer == AVAILABLE) {
        EXPECT_EQ(c.count, p.count);
        EXPECT_EQ(w->data + c.offset, p.place);
    }
}

INSTANTIATE_TEST_SUITE_P(Positions, WindowReads, testing::ValuesIn(READ_CASES));

// Feeds stream in reads of `read` bytes, checking the invariants and, while the stream frames,
// that what is held is the stream itself from base on.
void feed(StreamWindow& w, const std::string& stream, std::size_t read, bool content_matches) {
    for (std::size_t at = 0; at < stream.size(); at += read) {
        std::uint64_t before = w.base;
        append(w, stream.substr(at, read));
        expect_invariants(w, before);
        if (content_matches && w.fill > 0) {
            ASSERT_EQ(stream.substr(w.base, w.fill), held(w)) << "at " << at;
        }
        if (testing::Test::HasFailure()) return;
    }
}

TEST(WindowCapacity, ManySmallBlocksPerReadNeverOverflowTheWindow) {
    // Each 64 KiB read brings about 650 blocks and sheds one by the rule: without the capacity
    // rule the window would outgrow its 16 MiB after about 260 reads.
    auto w = std::make_unique<StreamWindow>();
    std::string stream = blocks(300000, 88);  // 30 MB of 100-byte blocks
    feed(*w, stream, 65536, true);
    EXPECT_GT(w->fill, WINDOW_CAPACITY - 65536 - 100);
    EXPECT_EQ(0U, w->base % 100);
    // By now the ring has wrapped: players are still served the stream, across its end too.
    ASSERT_GT(w->start + w->fill, WINDOW_CAPACITY);
    EXPECT_TRUE(stream.substr(w->base, w->fill) == served(*w, w->base));
}

TEST(WindowCapacity, ASteadyStreamTouchesLittleMoreOfTheRingThanItHolds) {
    // 40 MiB of 4,380-byte blocks, a block a read: the window holds a few blocks, and what it
    // holds is moved back to the ring's front about once per WINDOW_COMPACT_AT of stream, so the
    // ring's pages in use stay near that, not the whole 16 MiB.
    auto w = std::make_unique<StreamWindow>();
    std::string stream = blocks(9600, 4368);
    std::uint64_t extent = 0;  // the furthest byte of data ever written
    int moves = 0;
    for (std::size_t at = 0; at < stream.size(); at += 4380) {
        std::uint32_t start_before = w->start;
        append(*w, stream.substr(at, 4380));
        extent = std::max<std::uint64_t>(extent, w->start + w->fill);
        moves += w->start < start_before ? 1 : 0;
        ASSERT_EQ(stream.substr(w->base, w->fill), held(*w)) << "at " << at;
    }
    EXPECT_LE(extent, WINDOW_COMPACT_AT + 4 * 4380);
    EXPECT_LE(moves, static_cast<int>(stream.size() / WINDOW_COMPACT_AT) + 1);
    EXPECT_GE(moves, static_cast<int>(stream.size() / (WINDOW_COMPACT_AT + 4 * 4380)));
}

TEST(WindowCapacity, TwoBlocksTooLargeToHoldTogetherDropTheFirstWhole) {
    auto w = std::make_unique<StreamWindow>();
    std::string stream = blocks(4, 9 * 1024 * 1024);  // each block more than half the window
    feed(*w, stream, 65536, true);
    EXPECT_EQ(3U * (9 * 1024 * 1024 + 12), w->base);
}

TEST(WindowCapacity, ABlockLargerThanTheWindowFramesNothingAndTheStreamResumesAfterIt) {
    auto w = std::make_unique<StreamWindow>();
    const std::uint32_t huge = 20 * 1024 * 1024;
    std::string big = block(huge, 'h');
    std::string after = blocks(3, 100);
    std::string stream = big + after;
    for (std::size_t at = 0; at < stream.size(); at += 65536) {
        std::uint64_t before = w->base;
        append(*w, stream.substr(at, 65536));
        expect_invariants(*w, before);
        // Its length frames nothing: none of it is held, so none of it is ever served.
        if (at + 65536 < big.size()) {
            EXPECT_EQ(0U, w->fill) << at;
        }
        ASSERT_FALSE(testing::Test::HasFailure());
    }
    // The window begins with the first block after the big one, at its true offset.
    EXPECT_EQ(big.size(), w->base);
    EXPECT_EQ(after, held(*w));
}

// A flipped bit in one length field among many small blocks, which reads bring hundreds at a
// time: the header, declaring 512 MiB, is cut like any bytes that frame nothing, and the window
// goes on with the valid blocks right behind it, as they go on arriving for 40 MB.
TEST(WindowCapacity, OneBadLengthAmongManySmallBlocksCostsOnlyItsHeader) {
    auto w = std::make_unique<StreamWindow>();
    std::string before = blocks(3000, 100);
    std::string bad = block_header(512U * 1024 * 1024);
    std::string after = blocks(400000, 88);  // 40 MB of 100-byte blocks
    std::string stream = before + bad + after;
    std::uint64_t lowest = WINDOW_NOTHING_DISCARDED;
    for (std::size_t at = 0; at < stream.size(); at += 65536) {
        std::uint64_t base_before = w->base;
        lowest = std::min(lowest, append(*w, stream.substr(at, 65536)));
        expect_invariants(*w, base_before);
        ASSERT_FALSE(testing::Test::HasFailure()) << at;
    }
    EXPECT_EQ(before.size(), lowest) << "discarded more than the bad header";
    EXPECT_EQ(stream.size() - bad.size(), w->base + w->fill);
    // What the window holds is the valid stream's end, from one of its block boundaries on.
    ASSERT_GT(w->fill, WINDOW_CAPACITY / 2);
    EXPECT_EQ(0U, (after.size() - w->fill) % 100);
    EXPECT_TRUE(held(*w) == after.substr(after.size() - w->fill));
    // And a new player is served it from a block of its own.
    std::uint64_t join = window_join_point(*w);
    EXPECT_EQ(0U, (join - w->base) % 100);
    EXPECT_TRUE(served(*w, join) == held(*w).substr(join - w->base));
}

TEST(WindowCapacity, ALengthNoWindowCanHoldIsNoBlock) {
    // A header whose length + 12 is above the capacity (0xFFFFFFFF among them) is never held:
    // the stream goes on at the next marker, however the bytes are split into reads.
    for (std::uint32_t length : {0xFFFFFFFFU, WINDOW_CAPACITY - 11, 0x80000000U}) {
        // The second block stays incomplete, so the rule keeps the first.
        std::string good = block(50, 'n') + block(60, 'o').substr(0, 30);
        std::string stream = block_header(length) + std::string(70000, 'j') + good;
        for (std::size_t read : {5UL, 8UL, 12UL, 1000UL, 65536UL}) {
            auto w = std::make_unique<StreamWindow>();
            std::uint64_t last_base = 0;
            for (std::size_t at = 0; at < stream.size(); at += read) {
                append(*w, stream.substr(at, read));
                expect_invariants(*w, last_base);
                last_base = w->base;
                // Nothing of the bogus header is ever offered to a player.
                if (w->base < 8) {
                    EXPECT_EQ(NOTHING_NEW, window_read(*w, 0, 1460).answer);
                }
            }
            ASSERT_FALSE(testing::Test::HasFailure()) << length << " in reads of " << read;
            EXPECT_EQ(12U + 70000U, w->base) << length << " in reads of " << read;
            EXPECT_EQ(good, held(*w)) << length << " in reads of " << read;
        }
    }
}

TEST(WindowCapacity, ALengthNoWindowCanHoldBehindTheFirstBlockIsCut) {
    auto w = std::make_unique<StreamWindow>();
    std::string first = block(100, 'a');
    append(*w, first + block_header(0xFFFFFFFFU) + std::string(20, 'j'));
    append(*w, block(10, 'b'));
    EXPECT_EQ(0U, w->base);
    EXPECT_EQ(first + block(10, 'b'), held(*w));
}

TEST(WindowCapacity, ABlockLargerThanTheWindowWithItsReadIsSkippedToItsEnd) {
    // Small enough to be a block, too large to be held with the read that carries its end,
    // which also brings the next block: the rest of it in that read is skipped.
    auto w = std::make_unique<StreamWindow>();
    std::string first = block(100, 'a');
    std::string big = block(WINDOW_CAPACITY - 20, 'h');
    std::string stream = first + big + block(30, 'n');
    std::uint64_t player = first.size() + 5000;  // had been sent part of the big block
    feed(*w, stream, 65536, false);
    EXPECT_EQ(first.size() + big.size(), w->base);
    EXPECT_EQ(block(30, 'n'), held(*w));
    EXPECT_EQ(BEHIND, window_read(*w, player, 1460).answer);
}

TEST(WindowCapacity, AfterAStreamThatStopsFramingOnlyAMarkerStartsItAgain) {
    auto w = std::make_unique<StreamWindow>();
    const std::uint32_t huge = 17 * 1024 * 1024;
    std::string stream = block(huge, 'h');
    feed(*w, stream, 65536, false);
    ASSERT_EQ(0U, w->fill);
    ASSERT_EQ(stream.size(), w->base);
    // At the block's end come bytes that are no block: they are discarded...
    std::uint64_t before = w->base;
    append(*w, std::string(5000, 'z'));
    EXPECT_EQ(0U, w->fill);
    EXPECT_EQ(before + 5000, w->base);
    // ...until a marker comes, here in the middle of a read.
    append(*w, std::string(30, 'z') + block(10, 'm'));
    EXPECT_EQ(before + 5030, w->base);
    EXPECT_EQ(block(10, 'm'), held(*w));
}

TEST(WindowCapacity, AMarkerSplitAcrossReadsWhileSeekingIsFound) {
    for (std::size_t split = 1; split <= 3; ++split) {
        auto w = std::make_unique<StreamWindow>();
        feed(*w, block(17 * 1024 * 1024, 'h') + "zz", 65536, false);
        ASSERT_EQ(0U, w->fill);
        std::uint64_t before = w->base;
        std::string next = block(20, 'm');
        append(*w, next.substr(0, split));
        EXPECT_EQ(0U, w->fill) << split;  // not held, so never served, until it is a marker
        append(*w, next.substr(split));
        EXPECT_EQ(before, w->base) << split;
        EXPECT_EQ(next, held(*w)) << split;
    }
}

}  // namespace
