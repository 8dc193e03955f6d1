// SPDX-License-Identifier: MIT
// Fuzz target: the state image a reload hands over, through the relay's own image checks and
// bounds-checked takes. The first byte chooses how the rest is taken:
// - odd: as a whole image, as a descriptor handed in by anything could carry it. It is read
//   only if its header and checksum hold; however it reads, nothing is read outside it;
// - even: as an image's body, framed by the writer. The finished image must check, one byte of
//   it changed must not, and the sections a reader takes from it must write back as exactly
//   the bytes they were taken from.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "handover.h"
#include "wire.h"

namespace {

// Bounds of the representative layout: counters, the window's bytes, records with their
// request bytes; small, so that a run stays short.
constexpr std::uint32_t COUNTERS = 4;
constexpr std::uint32_t WINDOW_BYTES_MAX = 65536;
constexpr std::uint32_t RECORDS_MAX = 64;
constexpr std::uint32_t REQUEST_BYTES_MAX = 8191;

struct Record {
    std::uint8_t kind;
    std::uint32_t fd;
    std::uint64_t position;
    std::uint32_t accepted_ms;
    std::vector<std::uint8_t> request;
};
struct State {
    std::uint64_t counters[COUNTERS];
    std::uint64_t window_base;
    std::vector<std::uint8_t> window;
    std::vector<Record> records;
};

void take_state(HandoverReader& reader, State* state) {
    for (std::uint64_t& counter : state->counters) counter = take_u64(reader);
    state->window_base = take_u64(reader);
    state->window.resize(take_count(reader, WINDOW_BYTES_MAX));
    take_bytes(reader, state->window.data(), state->window.size());
    state->records.resize(take_count(reader, RECORDS_MAX));
    for (Record& r : state->records) {
        r.kind = take_u8(reader);
        r.fd = take_u32(reader);
        r.position = take_u64(reader);
        r.accepted_ms = take_u32(reader);
        r.request.resize(take_count(reader, REQUEST_BYTES_MAX));
        take_bytes(reader, r.request.data(), r.request.size());
        if (reader.failed) return;  // a failed take yields zeros: the rest would be empty too
    }
}

void put_state(HandoverImage& image, const State& state) {
    for (std::uint64_t counter : state.counters) put_u64(image, counter);
    put_u64(image, state.window_base);
    put_u32(image, static_cast<std::uint32_t>(state.window.size()));
    put_bytes(image, state.window.data(), state.window.size());
    put_u32(image, static_cast<std::uint32_t>(state.records.size()));
    for (const Record& r : state.records) {
        put_u8(image, r.kind);
        put_u32(image, r.fd);
        put_u64(image, r.position);
        put_u32(image, r.accepted_ms);
        put_u32(image, static_cast<std::uint32_t>(r.request.size()));
        put_bytes(image, r.request.data(), r.request.size());
    }
}

// The most the even form's image may take: a body of any input libFuzzer sends by default.
constexpr std::uint64_t IMAGE_MAX = 1 << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 1) return 0;
    // A copy of exactly the input's length, so a read past it is the sanitizer's to see.
    std::vector<std::uint8_t> rest(in + 1, in + size);
    HandoverReader body{};
    State state{};
    if ((in[0] & 1) != 0) {
        if (check_image(rest.data(), rest.size(), &body) == IMAGE_TAKEN) take_state(body, &state);
        return 0;
    }
    if (rest.size() + HANDOVER_HEADER_SIZE > IMAGE_MAX) return 0;
    HandoverImage image = begin_image(IMAGE_MAX);
    put_bytes(image, rest.data(), rest.size());
    if (!finish_image(image)) std::abort();
    if (check_image(image.bytes, image.size, &body) != IMAGE_TAKEN) std::abort();
    take_state(body, &state);
    // What was taken whole writes back as the very bytes it came from.
    if (!body.failed) {
        HandoverImage again = begin_image(IMAGE_MAX);
        put_state(again, state);
        if (!finish_image(again) || again.size - HANDOVER_HEADER_SIZE != body.at ||
            std::memcmp(again.bytes + HANDOVER_HEADER_SIZE, rest.data(), body.at) != 0) {
            std::abort();
        }
        release_image(again);
    }
    // One byte changed anywhere, at a place and by a value the input chooses, is refused.
    std::uint64_t place = fnv1a(FNV1A_BASIS, in, size) % image.size;
    image.bytes[place] ^= static_cast<std::uint8_t>(in[0] | 1);
    if (check_image(image.bytes, image.size, &body) == IMAGE_TAKEN) std::abort();
    release_image(image);
    return 0;
}
