// SPDX-License-Identifier: MIT
#include "poll_loop.h"

#include <cerrno>

#include "connections.h"
#include "metrics.h"
#include "metrics_port.h"
#include "platform.h"
#include "players.h"
#include "readiness.h"
#include "reload.h"
#include "state_image.h"
#include "wire.h"

namespace {

// The listener's visit, when its socket is ready: connections are accepted while they wait and
// records are free, up to ACCEPTS_PER_PASS_MAX, each read for the first time later in the same
// pass. With every record in use, one waiting connection is turned away.
void accept_step(const Connection& listener, std::uint32_t now_ms) {
    if (connection_count() == table_capacity()) {
        if (refuse_client(listener.fd)) count_table_full();
        return;
    }
    for (std::uint32_t k = 0; k < ACCEPTS_PER_PASS_MAX && connection_count() < table_capacity();
         ++k) {
        Peer peer{};
        int fd = accept_client(listener, &peer);
        if (fd == 0) return;
        count_accepted();
        add_connection(fd, PENDING, peer, now_ms);
    }
}

// One read of record i and the step it leads to: the data step after bytes, the idle step
// when nothing has arrived, a teardown when the peer has closed or the read failed otherwise.
StepAnswer read_step(std::uint32_t i) {
    Connection& c = connection_at(i);
    if (!was_ready(c.fd)) return handle_idle(i);  // what a read that would block leads to
    ReadPlace place = read_place(c);
    int r = recv_some(c.fd, place.at, static_cast<int>(place.room));
    if (r > 0) {
        auto received = static_cast<std::uint32_t>(r);
        // Only a PENDING record is classified by its request end: a source's stream is not
        // searched for one byte by byte for as long as it runs. A PLAYER's bytes went to the
        // shared scratch buffer, and nothing reads them.
        if (c.state == PENDING) {
            take_request_read(c.buffer, &c.fill, &c.header_end, received);
        } else if (c.state == SOURCE) {
            c.fill += received;
        }
        return handle_data(i);
    }
    if (r < 0 && last_error() == EAGAIN) return handle_idle(i);
    return REMOVE;  // a read of 0 (peer closed) or any error but EAGAIN
}

// One pass over the table at now_ms (monotonic): the listener accepts up to
// ACCEPTS_PER_PASS_MAX connections, a PENDING record past PENDING_LIMIT_MS is torn down, every
// other record with something to read gets one read followed by its data or idle step or its
// teardown, and every record with nothing to read its idle step.
void poll_pass(std::uint32_t now_ms) {
    wait_for_ready();  // once, for the table and the metrics port alike
    // The count is read afresh at every test, so a record added during the pass is visited in it.
    for (std::uint32_t i = 0; i < connection_count(); ++i) {
        Connection& c = connection_at(i);
        if (c.state == LISTENER) {
            if (was_ready(c.fd)) accept_step(c, now_ms);
            continue;
        }
        // Unsigned: right across the wrap of the clock.
        bool overdue = c.state == PENDING && now_ms - c.accepted_ms >= PENDING_LIMIT_MS;
        if (overdue) count_pending_timeout();
        if (overdue || read_step(i) == REMOVE) {
            drop_connection(i);
            // Lowering i makes the record that moved into slot i the next one visited, so a
            // removal neither skips a record nor visits one twice.
            --i;
        }
    }
}

}  // namespace

void run_poll_loop() {
    for (;;) {
        // The sleep ends a period after the pass began, not after it ended: a pause after each
        // pass would add the pass's own time (over a millisecond with a full table) to every
        // listener's 10 ms and lower its ceiling below the stream rates it is meant to carry.
        std::uint32_t now_ms = monotonic_ms();
        note_pass(now_ms);
        poll_pass(now_ms);
        serve_metrics(now_ms);
        // At the end of the pass, so that every record is between two steps: a reload asked
        // for any number of times since the last pass is one reload.
        if (reload_requested()) reload_now(now_ms);
        sleep_until_ms(now_ms + POLL_PERIOD_MS);
    }
}
