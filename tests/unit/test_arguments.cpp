// SPDX-License-Identifier: MIT
// The number reader every program's command line goes through, at the edges of its bounds.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

#include "arguments.h"

namespace {

struct CountCase {
    const char* name;
    const char* text;
    std::uint64_t min;
    std::uint64_t max;
    bool taken;
    std::uint64_t value;  // when taken
};

void PrintTo(const CountCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint64_t TOP = UINT64_MAX;  // 18446744073709551615

const CountCase COUNT_CASES[] = {
    {"at the least", "2", 2, 10, true, 2},
    {"below the least", "1", 2, 10, false, 0},
    {"at the most", "10", 2, 10, true, 10},
    {"one above the most", "11", 2, 10, false, 0},
    {"a last digit above a one-digit most", "9", 0, 5, false, 0},
    {"leading zeros", "0007", 0, 10, true, 7},
    {"2^64 - 1 at the top", "18446744073709551615", 0, TOP, true, TOP},
    {"2^64, which would wrap to 0", "18446744073709551616", 0, TOP, false, 0},
    {"2^64 + 4, past the top with a last digit of 0", "18446744073709551620", 0, TOP, false, 0},
    {"far longer than 2^64", "99999999999999999999999999", 0, TOP, false, 0},
    {"empty", "", 0, 10, false, 0},
    {"a sign", "+5", 0, 10, false, 0},
    {"a minus", "-5", 0, TOP, false, 0},
    {"a leading blank", " 5", 0, 10, false, 0},
    {"a suffix", "5k", 0, 10, false, 0},
};

class ParseCount : public testing::TestWithParam<CountCase> {};

TEST_P(ParseCount, TakesWholeNumbersWithinTheBoundsOnly) {
    const CountCase& c = GetParam();
    std::uint64_t value = 12345;  // left as it is when the text is refused
    EXPECT_EQ(c.taken, parse_count(c.text, c.min, c.max, &value));
    EXPECT_EQ(c.taken ? c.value : 12345U, value);
}

INSTANTIATE_TEST_SUITE_P(Numbers, ParseCount, testing::ValuesIn(COUNT_CASES));

}  // namespace
