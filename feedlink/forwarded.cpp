// SPDX-License-Identifier: MIT
#include "forwarded.h"

namespace {

bool same_block(const ForwardedBlock& a, const ForwardedBlock& b) {
    return a.length == b.length && a.opaque == b.opaque && a.hash == b.hash;
}

// The entry at age index i, 0 the oldest of the count in use.
const ForwardedBlock& entry_at(const ForwardedRing* ring, std::uint32_t i) {
    std::uint32_t oldest = (ring->next + FORWARDED_RING_SIZE - ring->count) % FORWARDED_RING_SIZE;
    return ring->entries[(oldest + i) % FORWARDED_RING_SIZE];
}

}  // namespace

void forwarded_new_connection(ForwardedRing* ring) { ring->catch_up = CATCH_UP_OPEN; }

LinkDecision forwarded_decide(ForwardedRing* ring, const ForwardedBlock& block) {
    if (ring->catch_up == CATCH_UP_DONE) return FORWARD;
    if (ring->catch_up == CATCH_UP_OPEN) {
        // Newest first: a relay starts a listener near live, and with a run of equal blocks
        // this skips one of them rather than the whole run.
        for (std::uint32_t i = ring->count; i > 0; --i) {
            if (same_block(entry_at(ring, i - 1), block)) {
                ring->catch_up = i;
                return SKIP;
            }
        }
    } else if (ring->catch_up < ring->count && same_block(entry_at(ring, ring->catch_up), block)) {
        ring->catch_up += 1;
        return SKIP;
    }
    ring->catch_up = CATCH_UP_DONE;
    return FORWARD;
}

void forwarded_record(ForwardedRing* ring, const ForwardedBlock& block) {
    ring->entries[ring->next] = block;
    ring->next = (ring->next + 1) % FORWARDED_RING_SIZE;
    if (ring->count < FORWARDED_RING_SIZE) ring->count += 1;
}
