// SPDX-License-Identifier: MIT
// relaybench: how fast relayhub serves, how many listeners it carries, at what delay and for
// how much CPU and memory. It starts relayhub from a given path on a free loopback port, plays
// the listeners itself over non-blocking sockets in one epoll loop, feeds the relay from its
// own source or through the real `blockframe -t | feedsend` pipeline, stops every process it
// started by its pid, and prints a table and one JSON line per scenario run. It exits non-zero
// when a scenario could not run or received no stream byte.

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "arguments.h"
#include "burst.h"
#include "exposure.h"
#include "joins.h"
#include "options.h"
#include "small.h"
#include "soak.h"
#include "stalled.h"
#include "stream_scenarios.h"

namespace {

void usage() {
    std::fputs(
        "Usage: relaybench --relayhub PATH [--blockframe PATH] [--feedsend PATH] [--table N]\n"
        "         [--scenario NAME] [--quick] [--seconds S] [--warmup S] [--listeners 1,50,254]\n"
        "         [--idle-metrics N] [--reload-every S] [--full-window]\n"
        "         [--storm-connections N] [--ceiling-listeners N] [--ceiling-seconds S]\n"
        "         [--ceiling-rates R,R] [--joins-listeners N] [--burst-listeners N]\n"
        "         [--small-seconds S] [--stalled-seconds S] [--minutes M] [--soak-listeners N]\n"
        "  NAME: cap, steady, storm, ceiling, joins, burst, small, stalled, hostile or all\n"
        "        (each of these), or soak (only when named)\n",
        stderr);
}

// Counts and rates: whole numbers from least (1 unless given) to 100,000,000, read as every
// program reads its numbers. False on anything else.
bool take_count(const char* text, int* out, std::uint64_t least = 1) {
    std::uint64_t value = 0;
    if (!parse_count(text, least, 100000000, &value)) return false;
    *out = static_cast<int>(value);  // within int by the bound above
    return true;
}

// "1,50,254": one or more counts, comma-separated.
bool take_list(const char* text, std::vector<int>* out) {
    out->clear();
    std::string list = text;
    for (std::size_t from = 0;;) {
        std::size_t comma = list.find(',', from);
        int n = 0;
        if (!take_count(list.substr(from, comma - from).c_str(), &n)) return false;
        out->push_back(n);
        if (comma == std::string::npos) return true;
        from = comma + 1;
    }
}

// Seconds and minutes: a decimal number, 0 or more, nothing after it.
bool take_seconds(const char* text, double* out) {
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0)) return false;
    *out = value;
    return true;
}

// A few seconds and small counts per scenario: what CTest's smoke run uses.
void make_quick(Config* c) {
    c->cap_seconds = 2;
    c->warmup_seconds = 1;
    c->steady_seconds = 2;
    c->steady_listeners = {1, 5};
    c->idle_metrics = 4;            // the metrics port held and /health timed, briefly
    c->reload_every_seconds = 0.5;  // three reloads of a full window in each steady run
    c->full_window = true;
    c->storm_listeners = 5;
    c->storm_connections = 50;
    c->storm_limit_seconds = 20;
    c->ceiling_listeners = 5;
    c->ceiling_seconds = 2;
    c->ceiling_top_rate = 140000;  // one run, which is also the one figure rate
    c->ceiling_figure_rates = {140000};
    c->pipeline_warmup_seconds = 0.5;
    c->joins_listeners = 10;
    c->joins_spread_seconds = 1;
    c->small_seconds = 2;
    c->stalled_seconds = 2;
    c->stalled_listeners = 3;
    c->lockout_seconds = 14;  // the silent connections go after 10 s, so no shorter
    c->hostile_listeners = 10;
    c->hostile_attempts = 10;
    c->hostile_seconds = 2;
    c->burst_listeners = 20;
    c->burst_warmup_seconds = 1;
    c->burst_after_seconds = 1;
    c->soak_minutes = 0.1;  // 6 s: windows of 1.2 s after 0.6 s of warm-up
    c->soak_listeners = 20;
    c->soak_churn = 2;
}

// Applies option a with value v; false when a is no option that takes a value, or v is not
// a value it takes.
bool set_option(const std::string& a, const char* v, Config* c) {
    if (a == "--relayhub") {
        c->relayhub = v;
    } else if (a == "--blockframe") {
        c->blockframe = v;
    } else if (a == "--feedsend") {
        c->feedsend = v;
    } else if (a == "--scenario") {
        if (std::string(v) != "all") c->scenarios = {v};
    } else if (a == "--seconds") {
        if (!take_seconds(v, &c->steady_seconds)) return false;
        c->cap_seconds = c->steady_seconds;
    } else if (a == "--warmup") {
        return take_seconds(v, &c->warmup_seconds);
    } else if (a == "--listeners") {
        return take_list(v, &c->steady_listeners);
    } else if (a == "--idle-metrics") {
        return take_count(v, &c->idle_metrics, 0);
    } else if (a == "--reload-every") {
        return take_seconds(v, &c->reload_every_seconds) && c->reload_every_seconds > 0;
    } else if (a == "--storm-connections") {
        return take_count(v, &c->storm_connections);
    } else if (a == "--ceiling-listeners") {
        return take_count(v, &c->ceiling_listeners);
    } else if (a == "--ceiling-seconds") {
        return take_seconds(v, &c->ceiling_seconds);
    } else if (a == "--ceiling-rates") {
        c->ceiling_search = false;
        std::vector<int> rates;
        if (!take_list(v, &rates)) return false;
        c->ceiling_figure_rates.assign(rates.begin(), rates.end());
    } else if (a == "--joins-listeners") {
        return take_count(v, &c->joins_listeners);
    } else if (a == "--small-seconds") {
        return take_seconds(v, &c->small_seconds);
    } else if (a == "--stalled-seconds") {
        return take_seconds(v, &c->stalled_seconds);
    } else if (a == "--table") {
        return take_count(v, &c->table);
    } else if (a == "--burst-listeners") {
        return take_count(v, &c->burst_listeners);
    } else if (a == "--minutes") {
        return take_seconds(v, &c->soak_minutes);
    } else if (a == "--soak-listeners") {
        return take_count(v, &c->soak_listeners);
    } else {
        return false;
    }
    return true;
}

// The pipeline's programs default to the build folders beside relayhub's: <dir>/../NAME/NAME.
std::string sibling_program(const std::string& relayhub, const char* name) {
    std::filesystem::path dir = std::filesystem::path(relayhub).parent_path();
    if (dir.empty()) dir = ".";
    return (dir / ".." / name / name).lexically_normal().string();
}

// The command line into c; false on anything it does not take. --quick applies first, so
// options given beside it override its counts. --full-window, like --quick, takes no value.
bool parse_options(int argc, char** argv, Config* c) {
    for (int k = 1; k < argc; ++k) {
        if (std::string(argv[k]) == "--quick") make_quick(c);
    }
    for (int k = 1; k < argc; ++k) {
        std::string a = argv[k];
        if (a == "--full-window") c->full_window = true;
        if (a == "--quick" || a == "--full-window") continue;
        if (k + 1 >= argc || !set_option(a, argv[k + 1], c)) return false;
        ++k;
    }
    if (c->relayhub.empty()) return false;
    // The lock-out run fills the table: of its records the listening socket and the source
    // hold two, silent connections the rest, and one more silent connection is turned away.
    if (c->table > 0) c->lockout_silent = c->table - 1;
    if (c->blockframe.empty()) c->blockframe = sibling_program(c->relayhub, "blockframe");
    if (c->feedsend.empty()) c->feedsend = sibling_program(c->relayhub, "feedsend");
    return true;
}

// Runs one scenario by name; -1 for an unknown name, 0 when it ran, 1 when it failed.
int run_scenario(const Config& c, const std::string& name) {
    bool ok = true;
    if (name == "cap") {
        ok = run_cap(c);
    } else if (name == "steady") {
        for (int n : c.steady_listeners) ok = run_steady(c, n) && ok;
    } else if (name == "storm") {
        ok = run_storm(c);
        ok = run_lockout(c) && ok;
    } else if (name == "ceiling") {
        ok = run_ceiling(c);
    } else if (name == "joins") {
        ok = run_joins(c);
    } else if (name == "burst") {
        ok = run_burst(c);
    } else if (name == "small") {
        ok = run_small(c);
    } else if (name == "stalled") {
        ok = run_stalled(c);
    } else if (name == "hostile") {
        ok = run_hostile(c);
    } else if (name == "soak") {
        ok = run_soak(c);
    } else {
        return -1;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}

// The benchmark holds thousands of sockets at once (2,000 listeners, a lock-out run's silent
// connections): its soft limit on open files goes up to the hard one.
void raise_open_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);  // a send to a closed socket must fail with -1, not end the run
    raise_open_file_limit();
    Config c;
    if (!parse_options(argc, argv, &c)) {
        usage();
        return 2;
    }
    int failed = 0;
    for (const std::string& name : c.scenarios) {
        int result = run_scenario(c, name);
        if (result < 0) {
            usage();
            return 2;
        }
        failed += result;
    }
    return failed == 0 ? 0 : 1;
}
