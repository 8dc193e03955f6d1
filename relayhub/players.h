// SPDX-License-Identifier: MIT
#pragma once
// players: what the bytes of a connection mean. Classifies a PENDING record as a SOURCE or a
// PLAYER, feeds the stream window from sources and paces the stream out to players.

#include <cstdint>

#include "arguments.h"
#include "connections.h"
#include "stream_window.h"

// Nothing is decided while a PENDING record holds this many bytes or fewer.
constexpr std::uint32_t CLASSIFY_THRESHOLD = 12;
// A PENDING record holding more than this without a request end becomes a PLAYER all the same:
// its request buffer is full.
constexpr std::uint32_t REQUEST_LIMIT = REQUEST_BUFFER_SIZE - 1;
// Each player's send buffer. A listener that keeps up needs what its path holds in flight at
// the relay's ceiling of one piece per 10 ms pass: 146,000 B/s over a round trip of up to
// about 0.45 s is 65,700 bytes. Left to itself the system grows the buffer to megabytes, which
// a stalled listener then holds for minutes before a send fails and it is dropped.
constexpr int PLAYER_SEND_BUFFER = 65536;

// Who may feed the stream. A relay faces the public, and whoever becomes the source replaces
// the broadcast for every listener, so only peers in these networks may; with none given,
// only this host (127.0.0.0/8).
constexpr std::uint32_t SOURCE_NETWORKS_MAX = 32;
struct SourcePolicy {
    Ipv4Network networks[SOURCE_NETWORKS_MAX];
    std::uint32_t count;  // 0: loopback only
};
// Whether a peer at address (host byte order) may become a source under policy.
bool source_allowed(const SourcePolicy& policy, std::uint32_t address);
// Adds a network to the server's policy; false when SOURCE_NETWORKS_MAX are there already.
bool allow_sources_from(const Ipv4Network& network);

// What a per-record step tells the poll loop; only the poll loop tears records down.
enum StepAnswer : std::int32_t { KEEP, REMOVE };

// The state the data step gives a record: a PENDING record holding more than
// CLASSIFY_THRESHOLD bytes becomes a SOURCE when they begin with the block marker, a PLAYER
// when its request has ended or it holds more than REQUEST_LIMIT bytes; any other record keeps
// its state.
ConnectionState classify(const Connection& c);

// Sends a PLAYER the next piece of the stream from its position. Returns -1 when it is to be
// dropped (behind the window after it was sent stream bytes, retired, or the send took nothing
// or failed), 0 when there is nothing new, else the bytes the socket took, by which its
// position has advanced. A player that has been sent no stream byte is never dropped as
// behind: it moves to the window's join point. The first form serves from the given window,
// the second from the server's.
int pump_player(Connection& player, const StreamWindow& window);
int pump_player(Connection& player);

// After the window discarded held bytes from the absolute offset `from` on (nothing when from
// is WINDOW_NOTHING_DISCARDED): every player that was sent any of them is retired, to be
// dropped at its next step, and one that was sent no stream byte yet moves to the join point.
void settle_players_after_discard(std::uint64_t from, const StreamWindow& window);

// The data step, after a read of one or more bytes into record i. A record that would become a
// source from a peer the policy does not allow is closed before any of its bytes reach the
// window, with one line on standard error: "source refused: <address>:<port>".
StepAnswer handle_data(std::uint32_t i);
// The idle step, after a read of record i that found nothing (EAGAIN).
StepAnswer handle_idle(std::uint32_t i);
