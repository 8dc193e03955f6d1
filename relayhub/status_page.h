// SPDX-License-Identifier: MIT
#pragma once
// status_page: the page a person opens on the metrics port (GET /), beside it at the top of the
// house: whether the stream is live and why not, the listeners against the table's size, the
// sources, the traffic, the drops, the version and the uptime, written from the snapshot the
// other answers read. Its HTML is status_page.html, built in as a string; its script refreshes
// the figures from /metrics. Only the metrics port includes this.

#include "snapshot.h"

// The headers the page is answered with besides its length: its type, and a policy that lets
// the browser apply its one style, run its one script and fetch this port's answers, and load
// nothing else from anywhere.
void append_status_page_headers(Text* t);
// The page with the snapshot's figures in place of its placeholders; t overflows when the page
// does not fit.
void append_status_page(const Snapshot& s, Text* t);
