// SPDX-License-Identifier: MIT
#include "status_page.h"

#include <cstring>

#include "status_page_html.h"
#include "version.h"

namespace {

// Bytes as the page's script writes them too: whole below 1000, then in kB, MB, GB or TB, with
// one decimal below 10 of the unit.
void append_amount(Text* t, std::uint64_t bytes) {
    if (bytes < 1000) {
        append(t, "%llu B", static_cast<unsigned long long>(bytes));
        return;
    }
    const char* units[] = {"kB", "MB", "GB", "TB"};
    double n = static_cast<double>(bytes) / 1000;
    std::uint32_t u = 0;
    for (; n >= 1000 && u < 3; ++u) n /= 1000;
    if (n < 10) {
        append(t, "%.1f %s", n, units[u]);
    } else {
        append(t, "%.0f %s", n, units[u]);
    }
}

// Whole seconds in the two largest units that count, as the page's script writes them too.
void append_duration(Text* t, double seconds) {
    unsigned long long s = seconds > 0 ? static_cast<unsigned long long>(seconds) : 0;
    unsigned long long d = s / 86400, h = s / 3600 % 24, m = s / 60 % 60;
    if (d > 0) {
        append(t, "%llu d %llu h", d, h);
    } else if (h > 0) {
        append(t, "%llu h %llu min", h, m);
    } else if (m > 0) {
        append(t, "%llu min %llu s", m, s % 60);
    } else {
        append(t, "%llu s", s);
    }
}

// One placeholder's figure. Every figure is digits or a fixed text without markup, so nothing
// needs escaping. A name the page has and this does not know is written back as it stands, so
// that it shows on the page, and in the tests, rather than vanishing.
void append_figure(const Snapshot& s, const char* name, std::size_t length, Text* t) {
    auto is = [&](const char* known) {
        return std::strlen(known) == length && std::memcmp(name, known, length) == 0;
    };
    auto count = [&](std::uint64_t n) { append(t, "%llu", static_cast<unsigned long long>(n)); };
    if (is("now")) {
        append(t, "%.3f", s.wall_seconds);  // the script's uptime counts from the relay's clock
    } else if (is("version")) {
        append(t, "%s", RELAYHUB_VERSION);
    } else if (is("state_class")) {
        append(t, "%s", s.live ? "live" : "down");
    } else if (is("state")) {
        if (!s.live) append(t, "not live: ");
        append_health(s, t);
    } else if (is("listeners")) {
        count(s.listeners);
    } else if (is("listeners_max")) {
        count(s.connections_max - 1);  // the listening socket takes one record
    } else if (is("sources")) {
        count(s.sources);
    } else if (is("in_total")) {
        append_amount(t, s.source_bytes);
    } else if (is("out_total")) {
        append_amount(t, s.listener_bytes);
    } else if (is("dropped_behind")) {
        count(s.dropped[DROP_BEHIND]);
    } else if (is("dropped_send")) {
        count(s.dropped[DROP_SEND]);
    } else if (is("dropped_cut")) {
        count(s.dropped[DROP_CUT]);
    } else if (is("uptime")) {
        append_duration(t, s.wall_seconds - s.start_time_seconds);
    } else {
        append(t, "{{%.*s}}", static_cast<int>(length), name);
    }
}

}  // namespace

// Inline style and script pinned by their hashes rather than served at paths of their own: the
// page stays one answer, made from one snapshot, and no other text can run or style it. Fetches
// go to this origin alone ('self': /metrics and /health), and images to data: URLs alone: the
// page names an empty icon so that browsers do not ask for /favicon.ico. default-src 'none'
// refuses fonts, frames and every other kind, and the three directives it does not cover are
// closed too.
void append_status_page_headers(Text* t) {
    append(t,
           "Content-Type: text/html; charset=utf-8\r\n"
           "Content-Security-Policy: default-src 'none'; style-src 'sha256-%s'; "
           "script-src 'sha256-%s'; connect-src 'self'; img-src data:; base-uri 'none'; "
           "form-action 'none'; frame-ancestors 'none'\r\n",
           STATUS_PAGE_STYLE_SHA256, STATUS_PAGE_SCRIPT_SHA256);
}

void append_status_page(const Snapshot& s, Text* t) {
    const char* at = STATUS_PAGE_TEMPLATE;
    for (;;) {
        const char* open = std::strstr(at, "{{");
        const char* close = open != nullptr ? std::strstr(open + 2, "}}") : nullptr;
        if (close == nullptr) break;
        append(t, "%.*s", static_cast<int>(open - at), at);
        append_figure(s, open + 2, static_cast<std::size_t>(close - open - 2), t);
        at = close + 2;
    }
    append(t, "%s", at);
}
