// SPDX-License-Identifier: MIT
// blockframe: turns standard input, or a generated test stream, into the block stream the relay
// takes from a source, optionally paced to a byte rate so that a file plays out live; with -d,
// turns a listener's capture back into the payloads (deframe.h).

#include <getopt.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "arguments.h"
#include "command_line.h"
#include "deframe.h"
#include "wire.h"

namespace {

// 4368 + 12 = 3 x 1460: each block is exactly three of feedsend's pieces, so it leaves in full
// the moment it is written. About a quarter second of a 128 kbit/s stream.
constexpr std::uint32_t DEFAULT_PAYLOAD = 4368;
// A larger payload would never reach a listener: the relay discards such a block whole.
constexpr std::uint32_t PAYLOAD_MAX = RELAY_BLOCK_MAX - BLOCK_HEADER_SIZE;
constexpr std::uint64_t NS_PER_SECOND = 1000000000ULL;

struct Options {
    std::uint32_t payload = DEFAULT_PAYLOAD;
    std::uint64_t rate = 0;  // bytes per second of output, 0: as fast as the consumer takes
    bool test_mode = false;
    std::uint64_t count = 0;   // test mode: blocks to write, 0: for ever
    bool deframe = false;      // -d: payloads out of a capture
    bool framing_set = false;  // -s, -r or -n given: they shape blocks that -d only reads
};

Options options;  // module state: the command line's, set once before anything else runs

// A bad number is named in a line of its own; an unknown option, a missing value, a stray
// argument or options that do not go together get the usage.
ArgumentAnswer read_arguments(int argc, char** argv) {
    int c = 0;
    std::uint64_t v = 0;
    opterr = 0;  // the usage text says what is wrong, once
    while ((c = getopt(argc, argv, "s:r:tn:d")) != -1) {
        options.framing_set = options.framing_set || c == 's' || c == 'r' || c == 'n';
        switch (c) {
            case 's':
                if (!parse_count(optarg, 1, PAYLOAD_MAX, &v)) {
                    report_bad_argument("blockframe", optarg,
                                        "a payload size from 1 to 16777204 bytes for -s");
                    return ARGUMENT_REPORTED;
                }
                options.payload = static_cast<std::uint32_t>(v);  // at most PAYLOAD_MAX
                break;
            case 'r':
                // The bound keeps a remainder of bytes times NS_PER_SECOND inside 64 bits.
                if (!parse_count(optarg, 1, UINT64_MAX / NS_PER_SECOND, &options.rate)) {
                    report_bad_argument("blockframe", optarg,
                                        "a rate from 1 to 18446744073 bytes per second for -r");
                    return ARGUMENT_REPORTED;
                }
                break;
            case 't':
                options.test_mode = true;
                break;
            case 'n':
                if (!parse_count(optarg, 0, UINT64_MAX, &options.count)) {
                    report_bad_argument("blockframe", optarg, "a number of blocks for -n");
                    return ARGUMENT_REPORTED;
                }
                break;
            case 'd':
                options.deframe = true;
                break;
            default:
                return ARGUMENTS_UNUSABLE;
        }
    }
    if (optind != argc) return ARGUMENTS_UNUSABLE;
    if (options.deframe && (options.test_mode || options.framing_set)) return ARGUMENTS_UNUSABLE;
    if (options.test_mode && options.payload < TEST_PAYLOAD_MIN) return ARGUMENTS_UNUSABLE;
    if (!options.test_mode && options.count != 0) return ARGUMENTS_UNUSABLE;
    return ARGUMENTS_TAKEN;
}

constexpr char USAGE[] =
    "Usage: blockframe [-s payload_bytes] [-r bytes_per_second] [-t [-n blocks]] <in >out\n"
    "       blockframe -d <capture >payloads\n"
    "  -s  payload bytes per block, 1 to 16777204 (default 4368; the last block shorter)\n"
    "  -r  pace the output to this many bytes per second, headers included (default: unpaced)\n"
    "  -t  test mode: no input; payloads carry a sequence number and the send time\n"
    "      (at least 16 bytes each)\n"
    "  -n  test mode: stop after this many blocks (default: never)\n"
    "  -d  deframe: the payload of every whole block of a capture, block by block, without\n"
    "      the relay's headers; blocks cut short or damaged are left out";
constexpr CommandLine COMMAND_LINE = {"blockframe", USAGE, BLOCK_TOOL, read_arguments};

std::uint64_t now_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * NS_PER_SECOND +
           static_cast<std::uint64_t>(t.tv_nsec);
}

// When `written` bytes are due at `rate` bytes per second: written / rate seconds after the
// start, to the nanosecond. Whole seconds and the remainder are scaled apart, as written *
// NS_PER_SECOND alone would wrap after 2^64 / 10^9 bytes (13 days at 16,000 bytes a second);
// the remainder is below rate, so its product stays inside 64 bits, and the whole seconds do
// for 584 years.
std::uint64_t due_ns(std::uint64_t written, std::uint64_t rate) {
    return written / rate * NS_PER_SECOND + written % rate * NS_PER_SECOND / rate;
}

// Waits until `written` bytes are due at the given rate since `started` (monotonic ns).
void pace(std::uint64_t started, std::uint64_t written, std::uint64_t rate) {
    if (rate == 0) return;
    std::uint64_t due = started + due_ns(written, rate);
    std::uint64_t now = now_ns(CLOCK_MONOTONIC);
    if (due <= now) return;
    std::uint64_t wait = due - now;
    timespec t{static_cast<time_t>(wait / NS_PER_SECOND), static_cast<long>(wait % NS_PER_SECOND)};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

// Reads up to n bytes; fewer only at the end of input.
std::size_t read_full(std::uint8_t* dst, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        std::size_t r = std::fread(dst + got, 1, n - got, stdin);
        if (r == 0) break;
        got += r;
    }
    return got;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = open_command_line(COMMAND_LINE, argc, argv); status != GO_ON) return status;
    if (options.deframe) return deframe(0, stdout);
    std::vector<std::uint8_t> block(BLOCK_HEADER_SIZE + options.payload);
    std::uint8_t* payload = block.data() + BLOCK_HEADER_SIZE;
    std::uint64_t started = now_ns(CLOCK_MONOTONIC);
    std::uint64_t written = 0;
    for (std::uint64_t sequence = 0;; ++sequence) {
        std::uint32_t length = options.payload;
        if (options.test_mode) {
            if (options.count != 0 && sequence == options.count) break;
            for (std::uint32_t i = TEST_PAYLOAD_MIN; i < length; ++i) {
                payload[i] = test_filler_byte(sequence, i);
            }
        } else {
            length = static_cast<std::uint32_t>(read_full(payload, options.payload));
            if (length == 0) break;
        }
        write_block_header(block.data(),
                           BlockHeader{BLOCK_MARKER, length, static_cast<std::uint32_t>(sequence)});
        std::size_t size = BLOCK_HEADER_SIZE + length;
        pace(started, written, options.rate);
        if (options.test_mode) {
            write_u64_le(payload, sequence);
            write_u64_le(payload + 8, now_ns(CLOCK_REALTIME));  // stamped as late as possible
        }
        if (std::fwrite(block.data(), 1, size, stdout) != size || std::fflush(stdout) != 0) {
            return 3;  // the consumer went away: nothing to say about it
        }
        written += size;
    }
    return std::fflush(stdout) == 0 ? 0 : 3;
}
