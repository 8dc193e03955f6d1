// SPDX-License-Identifier: MIT
#pragma once
// options: what a run of relaybench measures and for how long, as its command line set it.

#include <string>
#include <vector>

struct Config {
    std::string relayhub;    // the server under test
    std::string blockframe;  // the pipeline's programs; beside relayhub's build folder unless given
    std::string feedsend;
    int table = 0;  // relayhub -c: records in its connection table; 0 leaves the relay's default
    // soak is not among them: it runs only when named.
    std::vector<std::string> scenarios = {"cap",   "steady", "storm",   "ceiling", "joins",
                                          "burst", "small",  "stalled", "hostile"};
    double cap_seconds = 10;
    double warmup_seconds = 5;  // steady, storm and ceiling, before measuring
    double steady_seconds = 20;
    std::vector<int> steady_listeners = {1, 50, 254};
    // steady: connections held open on the relay's metrics port (-m) while /health is asked
    // and timed; -1: the relay has no metrics port and nothing is asked.
    int idle_metrics = -1;
    // steady: the relay reloaded in place (SIGUSR2) every this many seconds while measuring, and
    // each reload timed on its metrics port (-m); 0: no reload.
    double reload_every_seconds = 0;
    // steady: the source fills the relay's window to its capacity before any listener joins,
    // and the window stays full, so that a reload hands over the largest window there is.
    bool full_window = false;
    int storm_listeners = 50;
    int storm_connections = 2000;
    double storm_limit_seconds = 60;
    int lockout_silent = 255;     // storm's lock-out run: connections that send nothing,
    double lockout_seconds = 30;  // then a listener every half second until this long after
    int hostile_listeners = 50;
    int hostile_attempts = 100;  // from 127.0.0.2, spread over hostile_seconds
    double hostile_seconds = 20;
    double pipeline_warmup_seconds = 2;  // joins, small and stalled: the source's head start
    // ceiling: the highest rate, from the top down in steps, that keeps every listener; without
    // the search, only the figure rates.
    bool ceiling_search = true;
    int ceiling_listeners = 254;
    double ceiling_seconds = 60;  // measured, after every listener has joined
    double ceiling_top_rate = 145000;
    double ceiling_step = 5000;
    std::vector<double> ceiling_figure_rates = {100000, 140000};  // measured in any case
    int joins_listeners = 300;
    double joins_spread_seconds = 15;  // join moments fall at random within this
    double joins_listen_seconds = 1.5;
    double small_seconds = 240;
    double stalled_seconds = 60;
    int stalled_listeners = 20;  // and as many that keep up beside them
    // burst: listeners that all come within a second, after the stream's head start.
    int burst_listeners = 250;
    double burst_spread_seconds = 1;
    double burst_warmup_seconds = 2;
    double burst_after_seconds = 5;  // after every listener has been answered or turned away
    // soak: a relay kept busy for a long time, listeners coming and going.
    double soak_minutes = 30;
    int soak_listeners = 1000;
    int soak_churn = 10;  // listeners that leave, and as many that join, every second
};

// The options every relay the benchmark starts is given: -c when a table size was asked for
// (a relay without -c is measured as it comes), then the scenario's own.
inline std::vector<std::string> relay_options(const Config& c, std::vector<std::string> own = {}) {
    if (c.table > 0) own.insert(own.begin(), {"-c", std::to_string(c.table)});
    return own;
}
