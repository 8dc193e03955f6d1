// SPDX-License-Identifier: MIT
#include "metrics.h"

#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "connections.h"
#include "platform.h"
#include "process_figures.h"
#include "stream_window.h"
#include "version.h"
#include "wire.h"

namespace {

// The counters: written by the count_ functions as things happen, read by snapshot.
struct Counters {
    std::uint64_t accepted, table_full, pending_timeouts, sources_refused;
    std::uint64_t source_bytes, listener_bytes;
    std::uint64_t dropped[DROP_REASONS];
    bool any_source_byte;
    std::uint32_t last_source_byte_ms;  // monotonic, the pass it arrived in
};

// A scrape waiting for its request to end.
struct MetricsClient {
    bool used;
    int fd;  // owned while used: closed once answered or gone
    std::uint32_t accepted_ms;
    std::uint32_t fill;
    std::uint32_t header_end;  // 0 until the request's end has arrived
    std::uint8_t request[METRICS_REQUEST_MAX];
};

Counters counters;
std::uint32_t pass_ms;  // note_pass's reading, for the counters that keep a time
int metrics_fd = -1;    // the metrics socket, -1 without -m
MetricsClient clients[METRICS_CLIENTS_MAX];
std::uint32_t started_ms;            // monotonic, when the metrics socket opened (at start-up)
double start_time_seconds;           // wall clock of the same moment
char answer_buffer[16384];           // one answer at a time, sent straight from here
std::uint32_t answer_header_length;  // of the answer in answer_buffer: what HEAD is sent
char body_buffer[12288];

// printf into a text that stops growing, and remembers it overflowed, once it is full.
struct Text {
    char* out;
    std::uint32_t size;
    std::uint32_t length;
    bool overflowed;
};

__attribute__((format(printf, 2, 3))) void append(Text* t, const char* format, ...) {
    if (t->overflowed) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(t->out + t->length, t->size - t->length, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::uint32_t>(n) >= t->size - t->length) {
        t->overflowed = true;
        return;
    }
    t->length += static_cast<std::uint32_t>(n);
}

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

void format_body(const MetricsSnapshot& s, Text* t) {
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
           "Bytes received from sources and taken into the window.", s.source_bytes);
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

MetricsSnapshot snapshot(std::uint32_t now_ms) {
    MetricsSnapshot s{};
    for (std::uint32_t i = 0; i < connection_count(); ++i) {
        ConnectionState state = connection_at(i).state;
        s.listeners += state == PLAYER ? 1 : 0;
        s.sources += state == SOURCE ? 1 : 0;
        s.pending += state == PENDING ? 1 : 0;
    }
    s.connections_max = table_capacity();
    s.window_bytes = server_window().fill;
    s.accepted = counters.accepted;
    s.table_full = counters.table_full;
    s.pending_timeouts = counters.pending_timeouts;
    s.sources_refused = counters.sources_refused;
    s.source_bytes = counters.source_bytes;
    s.listener_bytes = counters.listener_bytes;
    std::memcpy(s.dropped, counters.dropped, sizeof s.dropped);
    s.start_time_seconds = start_time_seconds;
    // Unsigned differences: right across the wrap of the clock.
    std::uint32_t since = counters.any_source_byte ? counters.last_source_byte_ms : started_ms;
    s.source_idle_seconds = static_cast<double>(now_ms - since) / 1000.0;
    s.any_source_byte = counters.any_source_byte;
    s.live = counters.any_source_byte && now_ms - counters.last_source_byte_ms < STREAM_LIVE_MS;
    return s;
}

void release(MetricsClient* c) {
    close_socket(c->fd);
    c->used = false;
}

// What a scrape asked for, by its request line: "GET /metrics" (Prometheus), "GET /health" (a
// load balancer's check), or anything else. A query after the path is ignored. HEAD asks for
// the same answer without its body (*head set).
enum Route : std::uint32_t { ROUTE_METRICS, ROUTE_HEALTH, ROUTE_NOT_FOUND };

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
    return ROUTE_NOT_FOUND;
}

// The whole HTTP answer into out (size bytes): the status line, the headers and body (length
// bytes). Returns its length, or 0 if it does not fit; the length without the body goes to
// answer_header_length.
std::uint32_t format_answer(const char* status, const char* content_type, const char* body,
                            std::uint32_t length, char* out, std::uint32_t size) {
    Text whole{out, size, 0, false};
    append(&whole, "HTTP/1.0 %s\r\nContent-Type: %s\r\nContent-Length: %u\r\n\r\n", status,
           content_type, length);
    if (whole.overflowed || length > size - whole.length) return 0;
    std::memcpy(out + whole.length, body, length);
    answer_header_length = whole.length;
    return whole.length + length;
}

// The metrics, always with 200: a relay whose stream is down is still worth watching.
std::uint32_t format_metrics_answer(const MetricsSnapshot& s, char* out, std::uint32_t size) {
    Text body{body_buffer, sizeof body_buffer, 0, false};
    format_body(s, &body);
    if (body.overflowed) return 0;
    return format_answer("200 OK", "text/plain; version=0.0.4", body_buffer, body.length, out,
                         size);
}

// 200 "live" while a source byte has arrived within STREAM_LIVE_MS, otherwise 503 and why.
std::uint32_t format_health_answer(const MetricsSnapshot& s, char* out, std::uint32_t size) {
    Text body{body_buffer, sizeof body_buffer, 0, false};
    if (s.live) {
        append(&body, "live\n");
    } else if (!s.any_source_byte) {
        append(&body, "no source yet\n");
    } else {
        append(&body, "no source byte for %u s\n",
               static_cast<unsigned>(s.source_idle_seconds));  // whole seconds, rounded down
    }
    return format_answer(s.live ? "200 OK" : "503 Service Unavailable", "text/plain", body_buffer,
                         body.length, out, size);
}

// One send: a fresh connection takes an answer of a few kilobytes whole. One that takes less
// is closed all the same; the scraper sees a short answer and tries again.
void answer(MetricsClient* c, std::uint32_t now_ms) {
    constexpr char NOT_FOUND[] = "not found: ask for /metrics or /health\n";
    MetricsSnapshot s = snapshot(now_ms);
    std::uint32_t n = 0;
    bool head = false;
    switch (route_of(c->request, c->fill, &head)) {
        case ROUTE_METRICS:
            s.process = read_process_figures();  // only here: no pass pays for them
            n = format_metrics_answer(s, answer_buffer, sizeof answer_buffer);
            break;
        case ROUTE_HEALTH:
            n = format_health_answer(s, answer_buffer, sizeof answer_buffer);
            break;
        case ROUTE_NOT_FOUND:
            n = format_answer("404 Not Found", "text/plain", NOT_FOUND, sizeof NOT_FOUND - 1,
                              answer_buffer, sizeof answer_buffer);
            break;
    }
    if (n > 0 && head) n = answer_header_length;
    if (n > 0)
        send_some(c->fd, reinterpret_cast<const std::uint8_t*>(answer_buffer), static_cast<int>(n));
    release(c);
}

void accept_scrape(std::uint32_t now_ms) {
    for (MetricsClient& c : clients) {
        if (c.used) continue;
        Peer peer{};
        int fd = accept_quietly(metrics_fd, &peer);
        if (fd == 0) return;
        c = MetricsClient{true, fd, now_ms, 0, 0, {}};
        return;
    }
}

// One read of a waiting scrape; false when it has gone.
bool read_scrape(MetricsClient* c) {
    if (c->fill == METRICS_REQUEST_MAX) return true;  // enough: it is answered as it is
    int r = recv_some(c->fd, c->request + c->fill, static_cast<int>(METRICS_REQUEST_MAX - c->fill));
    if (r == 0 || (r < 0 && last_error() != EAGAIN)) return false;
    if (r < 0) return true;
    auto received = static_cast<std::uint32_t>(r);
    take_request_read(c->request, &c->fill, &c->header_end, received);
    return true;
}

}  // namespace

void note_pass(std::uint32_t now_ms) { pass_ms = now_ms; }
void count_accepted() { counters.accepted += 1; }
void count_table_full() { counters.table_full += 1; }
void count_pending_timeout() { counters.pending_timeouts += 1; }
void count_source_refused() { counters.sources_refused += 1; }
void count_listener_bytes(std::uint32_t n) { counters.listener_bytes += n; }
void count_listener_dropped(DropReason reason) { counters.dropped[reason] += 1; }

void count_source_bytes(std::uint32_t n) {
    counters.source_bytes += n;
    counters.any_source_byte = true;
    counters.last_source_byte_ms = pass_ms;
}

bool open_metrics(std::uint32_t address, int port) {
    metrics_fd = open_listener(address, port);
    if (metrics_fd < 0) return false;
    started_ms = monotonic_ms();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    start_time_seconds = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    return true;
}

void serve_metrics(std::uint32_t now_ms) {
    if (metrics_fd < 0) return;
    accept_scrape(now_ms);
    bool answered = false;  // one answer a pass: a burst of scrapes cannot lengthen a pass much
    for (MetricsClient& c : clients) {
        if (!c.used) continue;
        if (!read_scrape(&c)) {
            release(&c);
            continue;
        }
        bool ready = c.header_end != 0 || c.fill == METRICS_REQUEST_MAX ||
                     now_ms - c.accepted_ms >= METRICS_REQUEST_LIMIT_MS;
        if (ready && !answered) {
            answer(&c, now_ms);
            answered = true;
        }
    }
}
