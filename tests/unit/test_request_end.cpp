// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "connections.h"
#include "wire.h"

namespace {

struct RequestEndCase {
    const char* name;
    std::vector<std::string> reads;  // bytes of each read, in order
    std::uint32_t header_end;        // expected after the last read
};

// Stores each read behind the one before and hands it to the request step, as the poll loop
// does with a pending connection's reads.
std::uint32_t header_end_after(const std::vector<std::string>& reads) {
    std::vector<std::uint8_t> buffer(RECEIVE_BUFFER_SIZE, 0);
    std::uint32_t fill = 0;
    std::uint32_t header_end = 0;
    for (const std::string& r : reads) {
        std::memcpy(buffer.data() + fill, r.data(), r.size());
        take_request_read(buffer.data(), &fill, &header_end, static_cast<std::uint32_t>(r.size()));
    }
    return header_end;
}

const RequestEndCase CASES[] = {
    {"whole request in one read", {std::string(14, 'x') + "\r\n\r\n"}, 18},
    {"end in the second read", {std::string(10, 'x'), "abcd\r\n\r\n"}, 18},
    {"split after CR", {"GET / HTTP/1.0\r", "\n\r\n"}, 18},
    {"split after CR LF", {"GET / HTTP/1.0\r\n", "\r\n"}, 18},
    {"split after CR LF CR", {"GET / HTTP/1.0\r\n\r", "\n"}, 18},
    {"reads of 1 to 3 bytes", {"\r", "\n\r", "\n"}, 4},
    {"one byte at a time", {"a", "\r", "\n", "\r", "\n", "b"}, 5},
    {"second end ignored", {"a\r\n\r\n", "b\r\n\r\n"}, 5},
    {"first of two ends in one read", {"a\r\n\r\nb\r\n\r\n"}, 5},
    {"end at the very start", {"\r\n\r\nGET"}, 4},
    {"no end", {"GET / HTTP/1.0\r\n", "Host: x\r\n"}, 0},
    {"LF LF is no end", {"GET /\n\n"}, 0},
    {"CR CR LF LF is no end", {"GET /\r\r\n\n"}, 0},
    {"short reads without an end", {"ab", "c"}, 0},
};

void PrintTo(const RequestEndCase& c, std::ostream* os) { *os << c.name; }

class RequestEnd : public testing::TestWithParam<RequestEndCase> {};

TEST_P(RequestEnd, FindsFirstEndAcrossReads) {
    EXPECT_EQ(GetParam().header_end, header_end_after(GetParam().reads));
}

INSTANTIATE_TEST_SUITE_P(Reads, RequestEnd, testing::ValuesIn(CASES));

TEST(RequestEndSearch, NeverLooksBeforeTheBuffer) {
    // A first read of 2 bytes into an empty buffer: a search starting three bytes before the
    // old fill would read before the buffer's start.
    std::vector<std::uint8_t> buffer = {'\r', '\n'};
    EXPECT_EQ(0U, find_request_end(buffer.data(), 0, 2));
}

TEST(RequestEndSearch, StaleBytesBeyondTheFillAreNotRead) {
    // Bytes behind the fill are left over from nothing the client sent; only fill counts.
    std::vector<std::uint8_t> buffer = {'a', '\r', '\n', '\r', '\n'};
    EXPECT_EQ(0U, find_request_end(buffer.data(), 0, 3));
}

}  // namespace
