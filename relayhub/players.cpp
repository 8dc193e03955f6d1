// SPDX-License-Identifier: MIT
#include "players.h"

#include <cstdio>

#include "metrics.h"
#include "wire.h"

namespace {

SourcePolicy source_policy;  // written by main's options before the loop, read by handle_data

constexpr Ipv4Network LOOPBACK = {0x7F000000, 0xFF000000};  // 127.0.0.0/8

}  // namespace

bool source_allowed(const SourcePolicy& policy, std::uint32_t address) {
    if (policy.count == 0) return network_contains(LOOPBACK, address);
    for (std::uint32_t k = 0; k < policy.count; ++k) {
        if (network_contains(policy.networks[k], address)) return true;
    }
    return false;
}

bool allow_sources_from(const Ipv4Network& network) {
    if (source_policy.count == SOURCE_NETWORKS_MAX) return false;
    source_policy.networks[source_policy.count] = network;
    source_policy.count += 1;
    return true;
}

ConnectionState classify(const Connection& c) {
    if (c.state != PENDING || c.fill <= CLASSIFY_THRESHOLD) return c.state;
    if (is_block_marker(c.buffer)) return SOURCE;
    if (c.header_end != 0 || c.fill > REQUEST_LIMIT) return PLAYER;
    return PENDING;
}

int pump_player(Connection& player, const StreamWindow& window) {
    // Bytes it was sent are gone and others have taken their place: going on would splice its
    // stream. Dropped, it reconnects and starts clean.
    if (player.retired) {
        count_listener_dropped(DROP_CUT);
        return -1;
    }
    WindowPiece piece = window_read(window, player.position, PIECE_SIZE);
    if (piece.answer == BEHIND) {
        if (player.started) {
            count_listener_dropped(DROP_BEHIND);
            return -1;
        }
        // Sent nothing yet, so nothing of its stream is lost: the window moved past the place
        // it was to start at (an empty window seeking, or a cut). It starts afresh.
        player.position = window_join_point(window);
        piece = window_read(window, player.position, PIECE_SIZE);
    }
    if (piece.answer != AVAILABLE) return 0;
    int taken = send_some(player.fd, piece.place, static_cast<int>(piece.count));
    if (taken < 1) {  // a full send buffer too: a slow player is dropped, not waited for
        count_listener_dropped(DROP_SEND);
        return -1;
    }
    count_listener_bytes(static_cast<std::uint32_t>(taken));
    // By the bytes taken, not the piece's length: the rest goes out in the next piece.
    player.position += static_cast<std::uint64_t>(taken);
    player.started = true;
    return taken;
}

int pump_player(Connection& player) { return pump_player(player, server_window()); }

void settle_players_after_discard(std::uint64_t from, const StreamWindow& window) {
    if (from == WINDOW_NOTHING_DISCARDED) return;
    for (std::uint32_t i = 0; i < connection_count(); ++i) {
        Connection& p = connection_at(i);
        if (p.state != PLAYER || p.position <= from) continue;
        if (p.started) {
            p.retired = true;
        } else {
            p.position = window_join_point(window);
        }
    }
}

namespace {

// A new player: the response header, then the stream from the join point. Answers REMOVE
// when the header or the first piece cannot be sent.
StepAnswer start_player(Connection& c) {
    c.position = window_join_point();
    set_send_buffer(c.fd, PLAYER_SEND_BUFFER);
    int sent = send_some(c.fd, reinterpret_cast<const std::uint8_t*>(RESPONSE_HEADER),
                         static_cast<int>(RESPONSE_HEADER_SIZE));
    // A header taken in part cannot be completed without corrupting what follows; the client
    // reconnects instead.
    if (sent != static_cast<int>(RESPONSE_HEADER_SIZE)) {
        count_listener_dropped(DROP_SEND);
        return REMOVE;
    }
    return pump_player(c) < 0 ? REMOVE : KEEP;
}

// Record i has just become a SOURCE. It takes over the stream: every other source is retired
// (its peer may have gone without a word, and nothing else would ever remove it; two sources
// at once would only interleave their blocks), and whatever the window holds of a block that
// the old source left unfinished is cut away, so that the new source's marker begins a block.
void take_over_stream(std::uint32_t i) {
    for (std::uint32_t k = 0; k < connection_count(); ++k) {
        Connection& other = connection_at(k);
        if (k != i && other.state == SOURCE) other.retired = true;
    }
    settle_players_after_discard(window_begin_source(), server_window());
}

// A retired record's step: a source's bytes no longer belong to the stream, and a player that
// was sent bytes the window no longer holds is dropped.
StepAnswer drop_retired(const Connection& c) {
    if (c.state == PLAYER) count_listener_dropped(DROP_CUT);
    return REMOVE;
}

}  // namespace

StepAnswer handle_data(std::uint32_t i) {
    Connection& c = connection_at(i);
    if (c.retired) return drop_retired(c);
    ConnectionState was = c.state;
    c.state = classify(c);
    if (was == PENDING && c.state == PLAYER && start_player(c) == REMOVE) return REMOVE;
    if (was == PENDING && c.state == SOURCE) {
        if (!source_allowed(source_policy, c.peer.address)) {
            char peer_text[IPV4_TEXT_SIZE];
            ipv4_text(c.peer.address, peer_text);
            std::fprintf(stderr, "source refused: %s:%i\n", peer_text, c.peer.port);
            count_source_refused();
            return REMOVE;  // before take_over_stream: the source and the window stay as they are
        }
        take_over_stream(i);
    }
    if (c.state == SOURCE) {
        // On the step that made it a SOURCE this is all it has sent, marker first.
        count_source_bytes(c.fill);
        std::uint64_t complete = server_window().complete_blocks;
        settle_players_after_discard(window_append(c.buffer, c.fill), server_window());
        count_blocks(server_window().complete_blocks - complete);
        c.fill = 0;
    } else if (c.state == PLAYER) {
        c.fill = 0;  // whatever a player sends is discarded unread
    }
    if (was == PENDING && c.state != PENDING) fit_buffer(c);
    return KEEP;
}

StepAnswer handle_idle(std::uint32_t i) {
    Connection& c = connection_at(i);
    if (c.retired) return drop_retired(c);
    if (c.state == PLAYER && pump_player(c) < 0) return REMOVE;
    return KEEP;
}
