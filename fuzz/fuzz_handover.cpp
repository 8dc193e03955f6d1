// SPDX-License-Identifier: MIT
// Fuzz target: the state a reload hands over, through the relay's own image checks and its own
// state reader. The first byte chooses how the rest is taken:
// - odd: as a whole image, as a descriptor handed in by anything could carry it. Its state is
//   taken only if its header and checksum hold; however it reads, nothing is read outside it;
// - even: as a state behind a checksum that holds, which the state reader alone must bound. A
//   state it takes must write back as one it takes again, the same, and one byte changed in
//   the finished image must be refused.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "connections.h"
#include "handover.h"
#include "state_image.h"
#include "wire.h"

namespace {

constexpr std::uint32_t NOW_MS = 1000000;
constexpr std::uint32_t TABLE_RECORDS = 64;  // a small table, so that a run stays short
// The most an image may take: any state a small table can hold, and any input.
constexpr std::uint64_t IMAGE_MAX = 1 << 26;

// The state now written as the body of an image, header included.
HandoverImage written_state() {
    HandoverImage image = begin_image(IMAGE_MAX);
    put_state(image, NOW_MS);
    if (!finish_image(image)) std::abort();
    return image;
}

void forget_state() {
    HandoverReader none{nullptr, 0, 0, false};
    take_state(none, NOW_MS);  // refused: every module as at a fresh start
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    static const bool opened = open_table(TABLE_RECORDS);
    if (!opened || size < 1) return 0;
    // A copy of exactly the input's length, so a read past it is the sanitizer's to see.
    std::vector<std::uint8_t> rest(in + 1, in + size);
    HandoverReader body{};
    if ((in[0] & 1) != 0) {
        if (check_image(rest.data(), rest.size(), &body) == IMAGE_TAKEN) take_state(body, NOW_MS);
        forget_state();
        return 0;
    }
    body = HandoverReader{rest.data(), rest.size(), 0, false};
    if (take_state(body, NOW_MS)) {
        // Taken once, written, taken again and written again: the two writings are the same.
        HandoverImage first = written_state();
        forget_state();
        HandoverReader again{};
        if (check_image(first.bytes, first.size, &again) != IMAGE_TAKEN) std::abort();
        if (!take_state(again, NOW_MS)) std::abort();
        HandoverImage second = written_state();
        // The same state but for the reload counter, which every take raises by one: the
        // writings differ within one counter's 8 bytes at most.
        if (second.size != first.size) std::abort();
        std::uint64_t first_difference = first.size, last_difference = 0;
        for (std::uint64_t k = HANDOVER_HEADER_SIZE; k < first.size; ++k) {
            if (first.bytes[k] == second.bytes[k]) continue;
            if (first_difference == first.size) first_difference = k;
            last_difference = k;
        }
        if (first_difference < first.size && last_difference - first_difference >= 8) std::abort();
        // One byte changed anywhere, at a place and by a value the input chooses, is refused.
        std::uint64_t place = fnv1a(FNV1A_BASIS, in, size) % first.size;
        first.bytes[place] ^= static_cast<std::uint8_t>(in[0] | 1);
        if (check_image(first.bytes, first.size, &again) == IMAGE_TAKEN) std::abort();
        release_image(first);
        release_image(second);
    }
    forget_state();
    return 0;
}
