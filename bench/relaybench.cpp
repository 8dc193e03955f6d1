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
        "         [--storm-connections N] [--ceiling-listeners N] [--ceiling-seconds S]\n"
        "         [--ceiling-rates R,R] [--joins-listeners N] [--burst-listeners N]\n"
        "         [--small-seconds S] [--stalled-seconds S] [--minutes M] [--soak-listeners N]\n"
        "  NAME: cap, steady, storm, ceiling, joins, burst, small, stalled, hostile or all\n"
        "        (each of these), or soak (only when named)\n",
        stderr);
}

std::vector<int> parse_list(const char* text) {
    std::vector<int> out;
    for (const char* p = text; *p != '\0';) {
        out.push_back(std::atoi(p));
        const char* comma = std::strchr(p, ',');
        if (comma == nullptr) break;
        p = comma + 1;
    }
    return out;
}

// A few seconds and small counts per scenario: what CTest's smoke run uses.
void make_quick(Config* c) {
    c->cap_seconds = 2;
    c->warmup_seconds = 1;
    c->steady_seconds = 2;
    c->steady_listeners = {1, 5};
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

// Applies option a with value v; false when a is no option that takes a value.
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
        c->steady_seconds = c->cap_seconds = std::atof(v);
    } else if (a == "--warmup") {
        c->warmup_seconds = std::atof(v);
    } else if (a == "--listeners") {
        c->steady_listeners = parse_list(v);
    } else if (a == "--storm-connections") {
        c->storm_connections = std::atoi(v);
    } else if (a == "--ceiling-listeners") {
        c->ceiling_listeners = std::atoi(v);
    } else if (a == "--ceiling-seconds") {
        c->ceiling_seconds = std::atof(v);
    } else if (a == "--ceiling-rates") {
        c->ceiling_search = false;
        c->ceiling_figure_rates.clear();
        for (int rate : parse_list(v)) c->ceiling_figure_rates.push_back(rate);
    } else if (a == "--joins-listeners") {
        c->joins_listeners = std::atoi(v);
    } else if (a == "--small-seconds") {
        c->small_seconds = std::atof(v);
    } else if (a == "--stalled-seconds") {
        c->stalled_seconds = std::atof(v);
    } else if (a == "--table") {
        c->table = std::atoi(v);
    } else if (a == "--burst-listeners") {
        c->burst_listeners = std::atoi(v);
    } else if (a == "--minutes") {
        c->soak_minutes = std::atof(v);
    } else if (a == "--soak-listeners") {
        c->soak_listeners = std::atoi(v);
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
// options given beside it override its counts.
bool parse_options(int argc, char** argv, Config* c) {
    for (int k = 1; k < argc; ++k) {
        if (std::string(argv[k]) == "--quick") make_quick(c);
    }
    for (int k = 1; k < argc; ++k) {
        std::string a = argv[k];
        if (a == "--quick") continue;
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
