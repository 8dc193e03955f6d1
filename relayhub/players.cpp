#include "players.h"

#include "wire.h"

ConnectionState classify(const Connection& c) {
    if (c.state != PENDING || c.fill <= CLASSIFY_THRESHOLD) return c.state;
    if (is_block_marker(c.buffer)) return SOURCE;
    if (c.header_end != 0 || c.fill > REQUEST_LIMIT) return PLAYER;
    return PENDING;
}

int pump_player(Connection& player, const StreamWindow& window) {
    WindowPiece piece = window_read(window, player.position, PIECE_MAX);
    if (piece.answer == BEHIND) return -1;
    if (piece.answer == NOTHING_NEW) return 0;
    int taken = send_some(player.fd, piece.place, static_cast<int>(piece.count));
    if (taken < 1) return -1;  // a full send buffer too: a slow player is dropped, not waited for
    // By the bytes taken, not the piece's length: the rest goes out in the next piece.
    player.position += static_cast<std::uint64_t>(taken);
    return taken;
}

int pump_player(Connection& player) { return pump_player(player, server_window()); }

StepAnswer handle_data(std::uint32_t i) {
    Connection& c = connection_at(i);
    ConnectionState was = c.state;
    c.state = classify(c);
    if (was == PENDING && c.state == PLAYER) {
        // A new player starts at the oldest block held, right after the response header.
        c.position = window_base();
        int sent = send_some(c.fd, reinterpret_cast<const std::uint8_t*>(RESPONSE_HEADER),
                             static_cast<int>(RESPONSE_HEADER_SIZE));
        // A header taken in part cannot be completed without corrupting what follows; the
        // client reconnects instead.
        if (sent != static_cast<int>(RESPONSE_HEADER_SIZE)) return REMOVE;
        if (pump_player(c) < 0) return REMOVE;
    }
    if (c.state == SOURCE) {
        // On the step that made it a SOURCE this is all it has sent, marker first.
        window_append(c.buffer, c.fill);
        c.fill = 0;
    } else if (c.state == PLAYER) {
        c.fill = 0;  // whatever a player sends is discarded unread
    }
    return KEEP;
}

StepAnswer handle_idle(std::uint32_t i) {
    Connection& c = connection_at(i);
    if (c.state == PLAYER && pump_player(c) < 0) return REMOVE;
    return KEEP;
}
