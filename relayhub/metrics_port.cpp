// SPDX-License-Identifier: MIT
#include "metrics_port.h"

#include <cerrno>
#include <cstring>

#include "connections.h"
#include "metrics.h"
#include "platform.h"
#include "process_figures.h"
#include "readiness.h"
#include "snapshot.h"
#include "status_page.h"
#include "version.h"
#include "wire.h"

namespace {

// A scrape waiting for its request to end. Its request bytes lie apart, in requests[slot], so
// that a pass's walk over the slots touches only these few fields.
struct ScrapeSlot {
    bool used;
    int fd;  // owned while used: closed once answered, gone, refused or timed out
    std::uint32_t accepted_ms;
    std::uint64_t order;  // accept order: the lowest used one has waited longest
    std::uint32_t fill;
    std::uint32_t header_end;  // 0 until the request's end has arrived
};

int metrics_fd = -1;  // the metrics socket, -1 without -m
ScrapeSlot slots[METRICS_SCRAPES_MAX];
std::uint8_t requests[METRICS_SCRAPES_MAX][METRICS_REQUEST_MAX];
std::uint64_t accepts;  // scrapes accepted so far: the next one's order

void describe(Text* t, const char* name, const char* type, const char* help) {
    append(t, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void metric(Text* t, const char* name, const char* type, const char* help, std::uint64_t value) {
    describe(t, name, type, help);
    append(t, "%s %llu\n", name, static_cast<unsigned long long>(value));
}

// The process's own figures, under the names every exporter gives them. A figure the system
// would not give (no /proc) is left out rather than shown as 0.
void format_process(const ProcessFigures& p, Text* t) {
    if (p.have_stat) {
        describe(t, "process_cpu_seconds_total", "counter",
                 "Total user and system CPU time spent in seconds.");
        append(t, "process_cpu_seconds_total %.2f\n", p.stat.cpu_seconds);
        metric(t, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
               p.stat.resident_bytes);
        metric(t, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
               p.stat.virtual_bytes);
    }
    if (p.have_fds) {
        metric(t, "process_open_fds", "gauge", "Number of open file descriptors.", p.open_fds);
    }
    metric(t, "process_max_fds", "gauge", "Maximum number of open file descriptors.", p.max_fds);
}

void format_body(const Snapshot& s, Text* t) {
    metric(t, "relayhub_listeners", "gauge", "Listeners being sent the stream.", s.listeners);
    metric(t, "relayhub_sources", "gauge", "Connections feeding the stream.", s.sources);
    metric(t, "relayhub_pending", "gauge",
           "Connections that are neither a source nor a listener yet.", s.pending);
    metric(t, "relayhub_connections_max", "gauge",
           "Connections the relay holds at most, its listening socket included.",
           s.connections_max);
    metric(t, "relayhub_window_bytes", "gauge", "Bytes of the stream the window holds.",
           s.window_bytes);
    metric(t, "relayhub_connections_accepted_total", "counter",
           "Connections accepted into the table.", s.accepted);
    metric(t, "relayhub_table_full_total", "counter",
           "Connections closed at once because every record was in use.", s.table_full);
    metric(t, "relayhub_pending_timeouts_total", "counter",
           "Connections closed because they became neither source nor listener in time.",
           s.pending_timeouts);
    metric(t, "relayhub_sources_refused_total", "counter",
           "Would-be sources closed because their address may not feed the stream.",
           s.sources_refused);
    metric(t, "relayhub_source_bytes_total", "counter",
           "Bytes received from sources, whether or not they framed blocks.", s.source_bytes);
    metric(t, "relayhub_blocks_total", "counter", "Complete blocks added to the window.", s.blocks);
    metric(t, "relayhub_listener_bytes_total", "counter",
           "Stream bytes sent to listeners, response headers not counted.", s.listener_bytes);
    describe(t, "relayhub_listeners_dropped_total", "counter",
             "Listeners the relay closed, by reason: behind the window, a failed or full send, "
             "or bytes it was sent cut away.");
    const char* reasons[DROP_REASONS] = {"behind", "send", "cut"};
    for (std::uint32_t r = 0; r < DROP_REASONS; ++r) {
        append(t, "relayhub_listeners_dropped_total{reason=\"%s\"} %llu\n", reasons[r],
               static_cast<unsigned long long>(s.dropped[r]));
    }
    metric(t, "relayhub_reloads_total", "counter",
           "Reloads into a new program that took the relay's state.", s.reloads);
    metric(t, "relayhub_metrics_refused_total", "counter",
           "Metrics connections closed to make room for a newer one.", s.metrics_refused);
    describe(t, "relayhub_source_idle_seconds", "gauge",
             "Seconds since the last byte from a source, or since the start before any.");
    append(t, "relayhub_source_idle_seconds %.3f\n", s.source_idle_seconds);
    describe(t, "relayhub_build_info", "gauge", "The relay's version, as a label; always 1.");
    append(t, "relayhub_build_info{version=\"%s\"} 1\n", RELAYHUB_VERSION);
    format_process(s.process, t);
    describe(t, "process_start_time_seconds", "gauge",
             "Start time of the process since the Unix epoch in seconds.");
    append(t, "process_start_time_seconds %.3f\n", s.start_time_seconds);
}

// What a scrape asked for, by its request line: "GET /metrics" (Prometheus), "GET /health" (a
// load balancer's check), "GET /" (a person's browser), or anything else. A query after the
// path is ignored. HEAD asks for the same answer without its body (*head set).
enum Route : std::uint32_t { ROUTE_METRICS, ROUTE_HEALTH, ROUTE_PAGE, ROUTE_NOT_FOUND, ROUTES };

Route route_of(const std::uint8_t* request, std::uint32_t fill, bool* head) {
    auto begins = [&](const char* method) {
        std::size_t length = std::strlen(method);
        return fill >= length && std::memcmp(request, method, length) == 0;
    };
    *head = begins("HEAD ");
    if (!*head && !begins("GET ")) return ROUTE_NOT_FOUND;
    const std::uint32_t METHOD_LENGTH = *head ? 5 : 4;
    std::uint32_t end = METHOD_LENGTH;  // the path ends at a query, a blank or the line's end
    while (end < fill && request[end] != '?' && request[end] != ' ' && request[end] != '\r' &&
           request[end] != '\n') {
        ++end;
    }
    if (end == fill) return ROUTE_NOT_FOUND;  // the path was cut short
    auto is = [&](const char* path) {
        std::uint32_t length = static_cast<std::uint32_t>(std::strlen(path));
        return end - METHOD_LENGTH == length &&
               std::memcmp(request + METHOD_LENGTH, path, length) == 0;
    };
    if (is("/metrics")) return ROUTE_METRICS;
    if (is("/health")) return ROUTE_HEALTH;
    if (is("/")) return ROUTE_PAGE;
    return ROUTE_NOT_FOUND;
}

// One route's whole answer, made at most once a pass however many scrapes ask for it: a burst
// of scrapes costs a send each, not a snapshot and a /proc read each.
struct Answer {
    std::uint32_t made_ms;  // the pass it was made in
    bool made;
    std::uint32_t length;         // 0: it did not fit, and the scrape is closed unanswered
    std::uint32_t header_length;  // what HEAD is sent
    char text[16384];
};
Answer answers[ROUTES];
char body_buffer[12288];  // the largest body is the page's, about 7 KB; the metrics take 4

constexpr char PLAIN_TEXT[] = "Content-Type: text/plain\r\n";

// The whole HTTP answer into a: the status line, the headers (whole lines, the length's
// aside) and the body (length bytes).
void format_answer(const char* status, const char* headers, const char* body, std::uint32_t length,
                   Answer* a) {
    Text whole{a->text, sizeof a->text, 0, false};
    append(&whole, "HTTP/1.0 %s\r\n%sContent-Length: %u\r\n\r\n", status, headers, length);
    a->length = 0;
    if (whole.overflowed || length > sizeof a->text - whole.length) return;
    std::memcpy(a->text + whole.length, body, length);
    a->header_length = whole.length;
    a->length = whole.length + length;
}

// The metrics, always with 200: a relay whose stream is down is still worth watching.
void format_metrics_answer(const Snapshot& s, Answer* a) {
    Text body{body_buffer, sizeof body_buffer, 0, false};
    format_body(s, &body);
    a->length = 0;
    if (body.overflowed) return;
    format_answer("200 OK", "Content-Type: text/plain; version=0.0.4\r\n", body_buffer, body.length,
                  a);
}

// 200 "live" while the stream is live, otherwise 503 and why (append_health).
void format_health_answer(const Snapshot& s, Answer* a) {
    Text body{body_buffer, sizeof body_buffer, 0, false};
    append_health(s, &body);
    append(&body, "\n");
    format_answer(s.live ? "200 OK" : "503 Service Unavailable", PLAIN_TEXT, body_buffer,
                  body.length, a);
}

// The page, always with 200, like the metrics it shows.
void format_page_answer(const Snapshot& s, Answer* a) {
    char headers[512];
    Text head{headers, sizeof headers, 0, false};
    append_status_page_headers(&head);
    Text body{body_buffer, sizeof body_buffer, 0, false};
    append_status_page(s, &body);
    a->length = 0;
    if (head.overflowed || body.overflowed) return;
    format_answer("200 OK", headers, body_buffer, body.length, a);
}

const Answer& answer_for(Route route, std::uint32_t now_ms) {
    Answer& a = answers[route];
    if (a.made && a.made_ms == now_ms) return a;
    a.made = true;
    a.made_ms = now_ms;
    constexpr char NOT_FOUND[] = "not found: ask for /, /metrics or /health\n";
    if (route == ROUTE_NOT_FOUND) {
        format_answer("404 Not Found", PLAIN_TEXT, NOT_FOUND, sizeof NOT_FOUND - 1, &a);
        return a;
    }
    Snapshot s = take_snapshot(now_ms);
    if (route == ROUTE_HEALTH) {
        format_health_answer(s, &a);
    } else if (route == ROUTE_PAGE) {
        format_page_answer(s, &a);
    } else {
        s.process = read_process_figures();  // only here: no pass pays for them
        format_metrics_answer(s, &a);
    }
    return a;
}

void release(std::uint32_t slot) {
    forget_socket(slots[slot].fd);
    close_socket(slots[slot].fd);
    slots[slot].used = false;
}

// One send: a fresh connection takes an answer of a few kilobytes whole. One that takes less
// is closed all the same; the scraper sees a short answer and tries again. What the scrape
// sent beyond the request bytes kept (a browser's long cookie headers, say) is read and
// dropped first: a socket closed with bytes unread is reset, and a reset can cost the client
// the answer it was just sent.
void answer(std::uint32_t slot, std::uint32_t now_ms) {
    static std::uint8_t unread[65536];
    bool head = false;
    const Answer& a = answer_for(route_of(requests[slot], slots[slot].fill, &head), now_ms);
    std::uint32_t n = head && a.length > 0 ? a.header_length : a.length;
    if (n > 0) {
        send_some(slots[slot].fd, reinterpret_cast<const std::uint8_t*>(a.text),
                  static_cast<int>(n));
    }
    if (slots[slot].fill == METRICS_REQUEST_MAX) {
        recv_some(slots[slot].fd, unread, static_cast<int>(sizeof unread));
    }
    release(slot);
}

// A free slot for a new scrape. With every slot in use, the scrape that has waited longest is
// closed and counted: every used slot lacks a whole request (a scrape is answered in the pass
// its request ends), so it is the one least likely to be a check that is about to ask, and
// connections held open only ever push each other out, never the newest, which is where a
// fresh check stands.
std::uint32_t free_slot() {
    std::uint32_t oldest = 0;
    for (std::uint32_t k = 0; k < METRICS_SCRAPES_MAX; ++k) {
        if (!slots[k].used) return k;
        if (slots[k].order < slots[oldest].order) oldest = k;
    }
    release(oldest);
    count_metrics_refused();
    return oldest;
}

// Accepts what waits, up to a table's worth a pass: a crowd of idle connections can make a
// check wait behind them in the backlog for a pass or two, but never longer.
void accept_scrapes(std::uint32_t now_ms) {
    if (!was_ready(metrics_fd)) return;
    for (std::uint32_t k = 0; k < METRICS_SCRAPES_MAX; ++k) {
        Peer peer{};
        int fd = accept_quietly(metrics_fd, &peer);
        if (fd == 0) return;
        std::uint32_t slot = free_slot();
        slots[slot] = ScrapeSlot{true, fd, now_ms, accepts, 0, 0};
        accepts += 1;
        watch_socket(fd);  // counts as ready: read in this pass
    }
}

// Whether the bytes hold a whole request line: enough to route a scrape whose peer has closed
// without the blank line that ends a header.
bool has_request_line(const std::uint8_t* request, std::uint32_t fill) {
    return std::memchr(request, '\n', fill) != nullptr;
}

// What a scrape's visit leads to.
enum ScrapeStep : std::uint32_t { SCRAPE_WAIT, SCRAPE_ANSWER, SCRAPE_CLOSE };

// One read of a scrape, when it has something to read, and what follows.
ScrapeStep read_scrape(std::uint32_t slot, std::uint32_t now_ms) {
    ScrapeSlot& s = slots[slot];
    std::uint8_t* request = requests[slot];
    if (was_ready(s.fd) && s.fill < METRICS_REQUEST_MAX) {
        int r = recv_some(s.fd, request + s.fill, static_cast<int>(METRICS_REQUEST_MAX - s.fill));
        if (r > 0) {
            take_request_read(request, &s.fill, &s.header_end, static_cast<std::uint32_t>(r));
        } else if (r == 0 || last_error() != EAGAIN) {
            // The peer has closed its side, or the connection failed. A request line that came
            // before the close is answered all the same: many tools send it and then close.
            return has_request_line(request, s.fill) ? SCRAPE_ANSWER : SCRAPE_CLOSE;
        }
    }
    if (s.header_end != 0 || s.fill == METRICS_REQUEST_MAX) return SCRAPE_ANSWER;
    if (now_ms - s.accepted_ms < METRICS_REQUEST_LIMIT_MS) return SCRAPE_WAIT;
    return s.fill > 0 ? SCRAPE_ANSWER : SCRAPE_CLOSE;
}

}  // namespace

bool open_metrics(std::uint32_t address, int port) {
    int fd = open_listener(address, port);
    if (fd < 0) return false;
    adopt_metrics_socket(fd);
    return true;
}

void serve_metrics(std::uint32_t now_ms) {
    if (metrics_fd < 0) return;
    accept_scrapes(now_ms);
    for (std::uint32_t slot = 0; slot < METRICS_SCRAPES_MAX; ++slot) {
        if (!slots[slot].used) continue;
        ScrapeStep step = read_scrape(slot, now_ms);
        if (step == SCRAPE_ANSWER) answer(slot, now_ms);
        if (step == SCRAPE_CLOSE) release(slot);
    }
}

void put_metrics_port(HandoverImage& image, std::uint32_t now_ms) {
    put_u32(image, static_cast<std::uint32_t>(metrics_fd));  // -1 as 0xFFFFFFFF
    std::uint32_t used = 0;
    for (const ScrapeSlot& s : slots) used += s.used ? 1 : 0;
    put_u32(image, used);
    // Oldest first, so that the next program pushes out the same one first.
    for (std::uint64_t after = 0, taken = 0; taken < used; ++taken) {
        std::uint32_t next = METRICS_SCRAPES_MAX;
        for (std::uint32_t k = 0; k < METRICS_SCRAPES_MAX; ++k) {
            if (!slots[k].used || slots[k].order < after) continue;
            if (next == METRICS_SCRAPES_MAX || slots[k].order < slots[next].order) next = k;
        }
        const ScrapeSlot& s = slots[next];
        put_u32(image, static_cast<std::uint32_t>(s.fd));
        put_u32(image, now_ms - s.accepted_ms);  // unsigned: right across the wrap
        put_u32(image, s.fill);
        put_u32(image, s.header_end);
        put_bytes(image, requests[next], s.fill);
        after = s.order + 1;
    }
}

bool take_metrics_port(HandoverReader& reader, std::uint32_t now_ms) {
    std::uint32_t fd = take_u32(reader);
    std::uint32_t used = take_count(reader, METRICS_SCRAPES_MAX);
    if (fd > INT32_MAX && fd != UINT32_MAX) return false;
    if (fd == UINT32_MAX && used > 0) return false;  // scrapes without a metrics socket
    metrics_fd = static_cast<int>(fd);
    for (std::uint32_t k = 0; k < used && !reader.failed; ++k) {
        ScrapeSlot& s = slots[k];
        s.fd = static_cast<int>(take_count(reader, INT32_MAX));
        s.accepted_ms = now_ms - take_u32(reader);
        s.fill = take_count(reader, METRICS_REQUEST_MAX);
        s.header_end = take_count(reader, s.fill);
        take_bytes(reader, requests[k], s.fill);
        s.order = k;
        s.used = true;
    }
    accepts = used;
    if (!reader.failed) return true;
    forget_metrics_port();
    return false;
}

std::uint32_t metrics_port_sockets(int* fds) {
    fds[0] = metrics_fd;
    std::uint32_t n = 0;
    for (const ScrapeSlot& s : slots) {
        if (s.used) fds[1 + n++] = s.fd;
    }
    return n;
}

void watch_metrics_port() {
    if (metrics_fd >= 0) watch_socket(metrics_fd);
    for (const ScrapeSlot& s : slots) {
        if (s.used) watch_socket(s.fd);
    }
}

void forget_metrics_port() {
    metrics_fd = -1;
    for (ScrapeSlot& s : slots) s.used = false;
    accepts = 0;
}

void adopt_metrics_socket(int fd) {
    metrics_fd = fd;
    watch_socket(fd);
}
