// SPDX-License-Identifier: MIT
// blockframe's output parsed back, blockframe -d's payloads out of captures, and blockcheck's
// verdicts on captures made by hand.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "fixture.h"
#include "wire.h"

using namespace testkit;

namespace {

struct Block {
    std::uint32_t opaque;
    std::string payload;
    std::string bytes;  // header and payload as written
};

// Splits a block stream; fails the test on anything that does not frame.
std::vector<Block> parse_blocks(const std::string& s) {
    std::vector<Block> out;
    std::size_t at = 0;
    while (at < s.size()) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(s.data()) + at;
        if (s.size() - at < BLOCK_HEADER_SIZE || !is_block_marker(p)) {
            ADD_FAILURE() << "no block at " << at;
            break;
        }
        BlockHeader h = read_block_header(p);
        std::size_t size = BLOCK_HEADER_SIZE + h.length;
        if (s.size() - at < size) {
            ADD_FAILURE() << "block at " << at << " cut short";
            break;
        }
        out.push_back({h.opaque, s.substr(at + BLOCK_HEADER_SIZE, h.length), s.substr(at, size)});
        at += size;
    }
    return out;
}

std::uint64_t u64_at(const std::string& s, std::size_t at) {
    return read_u64_le(reinterpret_cast<const std::uint8_t*>(s.data()) + at);
}

// All of bytes into a pipe; false when its reader has gone.
bool write_all(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n <= 0) return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

class Blockframe : public ProcessTest {};

TEST_F(Blockframe, FramesItsInputInBlocksOfTheGivenSize) {
    std::string input = pattern_payload(2500, 1);
    Child& frame = start({BLOCKFRAME_BIN, "-s", "1000"}, Input::FILE, temp_file(input));
    ASSERT_EQ(0, wait_exit(frame, 5000));
    std::vector<Block> blocks = parse_blocks(stdout_of(frame));
    ASSERT_EQ(3U, blocks.size());
    EXPECT_EQ(1000U, blocks[0].payload.size());
    EXPECT_EQ(1000U, blocks[1].payload.size());
    EXPECT_EQ(500U, blocks[2].payload.size());
    for (std::uint32_t k = 0; k < 3; ++k) EXPECT_EQ(k, blocks[k].opaque);
    EXPECT_EQ(input, blocks[0].payload + blocks[1].payload + blocks[2].payload);
}

TEST_F(Blockframe, TestModeNumbersAndStampsEveryBlock) {
    auto now_ns = [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    };
    std::uint64_t before = now_ns();
    Child& frame = start({BLOCKFRAME_BIN, "-t", "-s", "100", "-n", "5"});
    ASSERT_EQ(0, wait_exit(frame, 5000));
    std::uint64_t after = now_ns();
    std::vector<Block> blocks = parse_blocks(stdout_of(frame));
    ASSERT_EQ(5U, blocks.size());
    std::uint64_t last_stamp = 0;
    for (std::uint32_t k = 0; k < 5; ++k) {
        const std::string& p = blocks[k].payload;
        ASSERT_EQ(100U, p.size());
        EXPECT_EQ(k, blocks[k].opaque);
        EXPECT_EQ(k, u64_at(p, 0));
        std::uint64_t stamp = u64_at(p, 8);
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
        EXPECT_GE(stamp, last_stamp);
        last_stamp = stamp;
        for (std::uint32_t i = TEST_PAYLOAD_MIN; i < 100; ++i) {
            ASSERT_EQ(static_cast<char>(test_filler_byte(k, i)), p[i])
                << "block " << k << " byte " << i;
        }
    }
}

TEST_F(Blockframe, PacesItsOutputToTheRate) {
    // 11 blocks of 1000 bytes at 10,000 bytes per second: the last is due after 1 second.
    auto started = std::chrono::steady_clock::now();
    Child& frame = start({BLOCKFRAME_BIN, "-t", "-s", "988", "-r", "10000", "-n", "11"});
    ASSERT_EQ(0, wait_exit(frame, 10000));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(11000U, stdout_of(frame).size());
}

// blockframe | blockframe -d gives back what was framed, byte for byte.
TEST_F(Blockframe, DeframingGivesBackWhatWasFramed) {
    struct Case {
        const char* name;
        std::string input;
        std::string payload;  // blockframe -s
    };
    std::string bytes;
    for (int k = 0; k < 3 * 256; ++k) bytes += static_cast<char>(k);
    const Case cases[] = {
        {"letters, the last block shorter", pattern_payload(2500, 1), "1000"},
        {"nothing", "", "1000"},
        {"blocks of one byte", "abc", "1"},
        // Bytes that begin what the capture's split and the check look for, and are not it:
        // held back, then released; the last are held until the end of the input.
        {"every byte value, a marker whose length no relay holds, the relay's header less its "
         "last byte, and its start at the end",
         bytes + "<BL>\xFF\xFF\xFF\xFF" + HEADER.substr(0, HEADER.size() - 1) + "x" +
             pattern_payload(700, 2) + HEADER.substr(0, 20),
         "300"},
    };
    for (const Case& c : cases) {
        std::vector<Child*> chain = start_chain(
            {{BLOCKFRAME_BIN, "-s", c.payload}, {BLOCKFRAME_BIN, "-d"}}, temp_file(c.input));
        ASSERT_EQ(2U, chain.size());
        EXPECT_EQ(0, wait_exit(*chain[0], 5000)) << c.name;
        EXPECT_EQ(0, wait_exit(*chain[1], 5000)) << c.name;
        EXPECT_TRUE(c.input == stdout_of(*chain[1])) << c.name;
        EXPECT_EQ("", stderr_of(*chain[1])) << c.name;
    }
}

std::string pattern_block(std::uint32_t k) { return make_block(pattern_payload(200, k), k); }

// A listener's capture: two connections, each with the relay's header, blocks cut short by a
// reconnection and by the end, and damage inside a connection. Exactly the whole blocks'
// payloads come out, in order.
TEST_F(Blockframe, DeframingACaptureWritesTheWholeBlocksOnly) {
    std::string b4 = pattern_block(4);
    b4[1] = 'b';  // a marker changed: framing is lost, the next block is searched for
    // A length grown by 100 takes in block 10's header.
    std::string b9 = block_header(300, 9) + pattern_payload(200, 9);
    std::string capture = HEADER + pattern_block(0) + pattern_block(1) +
                          pattern_block(2).substr(0, 50) +  // cut short by the reconnection
                          HEADER + pattern_block(3) + b4 + pattern_block(5) + "junk" +
                          pattern_block(6) + pattern_block(7).substr(0, 60) + pattern_block(8) +
                          b9 + pattern_block(10) + pattern_block(11) +
                          pattern_block(12).substr(0, 100);  // cut short by the end
    std::string expected;
    for (std::uint32_t k : {0U, 1U, 3U, 5U, 6U, 8U, 10U, 11U}) expected += pattern_payload(200, k);
    Child& deframe = start({BLOCKFRAME_BIN, "-d"}, Input::FILE, temp_file(capture));
    EXPECT_EQ(0, wait_exit(deframe, 5000));
    EXPECT_TRUE(expected == stdout_of(deframe)) << stdout_of(deframe).size() << " bytes";
    EXPECT_EQ("", stderr_of(deframe));
}

// Each block is written the moment it is whole, so a player behind the pipe plays live.
TEST_F(Blockframe, DeframingWritesEachBlockOnceItIsWhole) {
    Child& deframe = start({BLOCKFRAME_BIN, "-d"}, Input::PIPE);
    std::string b1 = pattern_block(1);
    ASSERT_TRUE(write_all(deframe.input_fd, HEADER + pattern_block(0) + b1.substr(0, 100)));
    EXPECT_TRUE(wait_for([&] { return stdout_of(deframe) == pattern_payload(200, 0); }, 5000))
        << stdout_of(deframe).size() << " bytes";
    ASSERT_TRUE(write_all(deframe.input_fd, b1.substr(100)));
    EXPECT_TRUE(wait_for(
        [&] { return stdout_of(deframe) == pattern_payload(200, 0) + pattern_payload(200, 1); },
        5000));
    close(deframe.input_fd);
    deframe.input_fd = -1;
    EXPECT_EQ(0, wait_exit(deframe, 5000));
}

// Command lines that read nothing: status 2 with the usage, or one line that names a bad
// number, on standard error; or the version line and status 0.
struct BadOptionCase {
    const char* name;
    std::vector<std::string> args;
    std::string error_start;  // how standard error begins; empty: it stays empty
    int status = 2;
    std::string out = "";  // standard output, whole
    const char* program = BLOCKFRAME_BIN;
};

void PrintTo(const BadOptionCase& c, std::ostream* os) { *os << c.name; }

const std::string FRAME_USAGE = "Usage: blockframe";
const std::string NOT_A_PAYLOAD = "\" is not a payload size from 1 to 16777204 bytes for -s\n";

const BadOptionCase BAD_OPTIONS[] = {
    {"unknown option", {"-x"}, FRAME_USAGE},
    {"payload of 0", {"-s", "0"}, "blockframe: \"0" + NOT_A_PAYLOAD},
    {"payload not a number", {"-s", "12k"}, "blockframe: \"12k" + NOT_A_PAYLOAD},
    {"payload above 16 MiB", {"-s", "16777217"}, "blockframe: \"16777217" + NOT_A_PAYLOAD},
    {"a block the relay cannot hold", {"-s", "16777205"}, "blockframe: \"16777205" + NOT_A_PAYLOAD},
    {"rate of 0", {"-r", "0"}, "blockframe: \"0\" is not a rate"},
    {"negative rate", {"-r", "-5"}, "blockframe: \"-5\" is not a rate"},
    {"count not a number", {"-t", "-n", "3x"}, "blockframe: \"3x\" is not a number of blocks"},
    {"test payload too small for its stamp", {"-t", "-s", "15"}, FRAME_USAGE},
    {"count without test mode", {"-n", "3"}, FRAME_USAGE},
    {"stray argument", {"file"}, FRAME_USAGE},
    {"a long option other than --version", {"--help"}, FRAME_USAGE},
    {"deframing with test mode", {"-d", "-t"}, FRAME_USAGE},
    {"deframing with a rate", {"-r", "16000", "-d"}, FRAME_USAGE},
    {"deframing with a count", {"-d", "-n", "0"}, FRAME_USAGE},
    {"deframing with a payload size", {"-d", "-s", "4368"}, FRAME_USAGE},
    {"deframing a file named as an argument", {"-d", "capture"}, FRAME_USAGE},
    {"blockframe --version", {"--version"}, "", 0, "blockframe " + VERSION_LINE_END},
    {"blockcheck --version",
     {"--version"},
     "",
     0,
     "blockcheck " + VERSION_LINE_END,
     BLOCKCHECK_BIN},
};

class BlockToolOptions : public ProcessTest, public testing::WithParamInterface<BadOptionCase> {};

TEST_P(BlockToolOptions, AnswersWithItsStatusBeforeReadingAnything) {
    std::vector<std::string> argv = {GetParam().program};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    Child& tool = start(argv);
    EXPECT_EQ(GetParam().status, wait_exit(tool, 5000));
    if (GetParam().error_start.empty()) {
        EXPECT_EQ("", stderr_of(tool));
    } else {
        EXPECT_EQ(0U, stderr_of(tool).rfind(GetParam().error_start, 0)) << stderr_of(tool);
    }
    EXPECT_EQ(GetParam().out, stdout_of(tool));
}

INSTANTIATE_TEST_SUITE_P(Options, BlockToolOptions, testing::ValuesIn(BAD_OPTIONS));

TEST_F(Blockframe, AClosedOutputEndsItQuietlyWithAFailure) {
    std::string err = temp_file("");
    Child& sh = start({"/bin/bash", "-c",
                       std::string(BLOCKFRAME_BIN) + " -t 2>" + err +
                           " | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}"});
    int status = wait_exit(sh, 10000);
    EXPECT_NE(0, status);
    EXPECT_NE(-1, status) << "blockframe did not end";
    EXPECT_EQ("", read_file(err));
}

class Blockcheck : public ProcessTest {
   protected:
    void SetUp() override {
        Child& frame = start({BLOCKFRAME_BIN, "-t", "-s", "200", "-n", "12"});
        ASSERT_EQ(0, wait_exit(frame, 5000));
        blocks_ = parse_blocks(stdout_of(frame));
        ASSERT_EQ(12U, blocks_.size());
    }
    std::string run(int from, int to) {  // blocks from..to-1
        std::string s;
        for (int k = from; k < to; ++k) s += blocks_[static_cast<std::size_t>(k)].bytes;
        return s;
    }
    std::vector<Block> blocks_;
};

TEST_F(Blockcheck, GivesEachCaptureItsVerdict) {
    struct Case {
        const char* name;
        std::string capture;
        int status;
        std::string line;                       // expected somewhere in the report
        std::vector<std::string> options = {};  // before the file
    };
    std::string wrong_header = HEADER;
    wrong_header[5] = '9';
    std::string corrupt = HEADER + run(0, 4);
    corrupt[HEADER.size() + 212 + 100] ^= 0x01;
    std::string changed_tail = HEADER + run(0, 2) + run(2, 3).substr(0, 100);
    changed_tail[HEADER.size() + 2 * 212 + 60] ^= 0x01;
    // What blockframe makes of /dev/zero: payloads of zeros, numbered in the opaque field.
    auto zeros = [](std::uint32_t payload, std::uint32_t from, std::uint32_t to) {
        std::string s;
        for (std::uint32_t k = from; k < to; ++k) s += filled_block(payload, '\0', k);
        return s;
    };
    // A header whose length the relay can never hold, where block 2 belongs, then blocks 3..7.
    auto unholdable = [&](std::uint32_t length) {
        return HEADER + run(0, 2) + block_header(length, 2) + run(3, 8);
    };
    const std::string no_holdable_block =
        "2 blocks, 1496 bytes, seq 0..1, 0 gaps, 0 corrupt, "
        "cut tail 0 bytes, 1072 malformed bytes: NOT INTACT";
    const Case cases[] = {
        {"intact", HEADER + run(0, 5), 0,
         "connection 1: header ok, 5 blocks, 1060 bytes, seq 0..4, 0 gaps, 0 corrupt, cut tail 0 "
         "bytes: intact"},
        {"a gap", HEADER + run(0, 2) + run(3, 5), 1, "seq 0..4, 1 gaps"},
        {"a block repeated", HEADER + run(0, 3) + run(2, 5), 1,
         "6 blocks, 1272 bytes, seq 0..4, 1 gaps"},
        {"blocks out of order", HEADER + run(0, 2) + run(3, 4) + run(2, 3) + run(4, 6), 1,
         "seq 0..5, 3 gaps"},
        {"a byte changed", corrupt, 1, "1 corrupt"},
        {"a byte changed in the cut tail", changed_tail, 1, "1 corrupt, cut tail 100 bytes"},
        {"a block missing before the cut tail", HEADER + run(0, 2) + run(3, 4).substr(0, 50), 1,
         "seq 0..1, 1 gaps"},
        {"bytes that are no block", HEADER + run(0, 2) + "garbage follows", 1, "malformed"},
        {"a block cut short, then others", HEADER + run(0, 2) + run(2, 3).substr(0, 50) + run(3, 6),
         1, "malformed bytes: NOT INTACT"},
        {"a block cut short, then the start of the next",
         HEADER + run(0, 2) + run(2, 3).substr(0, 50) + run(3, 4).substr(0, 100), 1,
         "cut tail 0 bytes, 150 malformed bytes: NOT INTACT"},
        {"zeros cut short, then the start of the next",
         HEADER + zeros(100, 0, 2) + zeros(100, 2, 3).substr(0, 50) +
             zeros(100, 3, 4).substr(0, 20),
         1, "cut tail 0 bytes, 70 malformed bytes: NOT INTACT"},
        {"length 0xFFFFFFF0", unholdable(0xFFFFFFF0), 1, no_holdable_block},
        {"length 0xFFFFFFFF", unholdable(0xFFFFFFFF), 1, no_holdable_block},
        {"length 16 MiB + 12", unholdable(16 * 1024 * 1024 + 12), 1, no_holdable_block},
        {"a block one byte beyond 16 MiB", unholdable(16 * 1024 * 1024 - 11), 1, no_holdable_block},
        {"a header cut inside its length is a cut tail", HEADER + run(0, 2) + "<BL>\x10\x01", 0,
         "cut tail 6 bytes: intact"},
        {"a bad length at the end", HEADER + run(0, 2) + "<BL>junk", 1,
         "cut tail 0 bytes, 8 malformed bytes: NOT INTACT"},
        {"a cut tail then a reconnection",
         HEADER + run(0, 3) + run(3, 4).substr(0, 50) + HEADER + run(8, 12), 0,
         "total: 2 connections, 7 blocks"},
        {"blocks of zeros", HEADER + zeros(100, 0, 5), 0,
         "connection 1: header ok, 5 blocks, 560 bytes, seq 0..4, 0 gaps, cut tail 0 bytes: "
         "intact"},
        {"16-byte blocks of zeros", HEADER + zeros(16, 0, 3), 0,
         "3 blocks, 84 bytes, seq 0..2, 0 gaps, cut tail 0 bytes: intact"},
        {"blocks of zeros with one missing", HEADER + zeros(100, 0, 2) + zeros(100, 3, 5), 1,
         "seq 0..4, 1 gaps, cut tail 0 bytes: NOT INTACT"},
        {"a wrong header", wrong_header + run(0, 3), 1, "header WRONG"},
        {"a capture without the header", run(0, 3), 1, "header WRONG"},
        {"a capture without the header, with -n",
         run(0, 5),
         0,
         "connection 1: no header, 5 blocks, 1060 bytes, seq 0..4, 0 gaps, 0 corrupt, cut tail 0 "
         "bytes: intact",
         {"-n"}},
        {"the header, with -n",
         HEADER + run(0, 5),
         1,
         "0 blocks, 1195 bytes, cut tail 0 bytes, 1195 malformed bytes: NOT INTACT",
         {"-n"}},
        {"an empty capture", "", 1, "total: 0 connections"},
        {"a header without blocks", HEADER, 1,
         "total: 1 connections, 0 blocks, 135 bytes: NOT INTACT"},
        {"only a cut tail, with -n",
         run(0, 1).substr(0, 100),
         1,
         "total: 1 connections, 0 blocks, 100 bytes: NOT INTACT",
         {"-n"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {BLOCKCHECK_BIN};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back(temp_file(c.capture));
        Child& check = start(argv);
        EXPECT_EQ(c.status, wait_exit(check, 5000)) << c.name << "\n" << stdout_of(check);
        EXPECT_NE(std::string::npos, stdout_of(check).find(c.line)) << c.name << "\n"
                                                                    << stdout_of(check);
    }
}

TEST_F(Blockcheck, ReadsACaptureLargerThanItsMemory) {
    // Three blocks the relay can just hold, 48 MiB in all, through a pipe: blockcheck keeps no
    // more of them than it is checking, so its peak stays far below the capture.
    constexpr std::uint32_t PAYLOAD = 16 * 1024 * 1024 - BLOCK_HEADER_SIZE;
    signal(SIGPIPE, SIG_IGN);  // a blockcheck that ends early shows as a failed write
    Child& check = start({BLOCKCHECK_BIN, "-n"}, Input::PIPE);
    std::string payload(PAYLOAD, '\0');
    for (std::uint32_t k = 0; k < 3; ++k) {
        for (const std::string& part : {block_header(PAYLOAD, k), payload}) {
            ASSERT_TRUE(write_all(check.input_fd, part)) << "blockcheck stopped reading";
        }
    }
    long peak_kib = status_kib(check.pid, "VmHWM");
    close(check.input_fd);
    check.input_fd = -1;
    EXPECT_EQ(0, wait_exit(check, 10000)) << stdout_of(check);
    EXPECT_NE(std::string::npos, stdout_of(check).find("3 blocks, 50331648 bytes, seq 0..2"))
        << stdout_of(check);
    EXPECT_GT(peak_kib, 0);
    EXPECT_LT(peak_kib, 24 * 1024) << "blockcheck held the capture";
}

TEST_F(Blockcheck, ReadsStandardInputToo) {
    Child& check = start({BLOCKCHECK_BIN}, Input::FILE, temp_file(HEADER + run(2, 6)));
    EXPECT_EQ(0, wait_exit(check, 5000));
    EXPECT_NE(std::string::npos, stdout_of(check).find("seq 2..5, 0 gaps"));
}

}  // namespace
