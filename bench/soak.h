// SPDX-License-Identifier: MIT
#pragma once
// soak: a relay kept at work for a long time, as it runs unattended for months: a thousand
// listeners, some leaving and others joining every second, the source reconnecting every few
// minutes, a metrics scrape and an intruder every second. What counts is whether its resident
// memory, descriptors and CPU at the end are what they were at the start, and whether any
// listener that keeps up is dropped or gets a damaged stream. A table and one JSON line.

#include "options.h"

// False when the run could not start, its source could not reconnect, or no listener received
// a stream byte: it has then printed why instead of figures.
bool run_soak(const Config& config);
