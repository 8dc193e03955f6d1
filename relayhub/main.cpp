// SPDX-License-Identifier: MIT
// relayhub: the relay server. Listens on the port of its command line and relays the stream
// of its sources to its players until it is killed.

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "arguments.h"
#include "command_line.h"
#include "connections.h"
#include "metrics.h"
#include "metrics_port.h"
#include "platform.h"
#include "players.h"
#include "poll_loop.h"
#include "process_figures.h"
#include "readiness.h"
#include "reload.h"
#include "state_image.h"

namespace {

// Started with standard input, output or error closed, the server would get descriptor 0, 1 or
// 2 for a socket, and 0 reads as "nothing accepted". Holding them open on /dev/null keeps
// every socket above them. open takes the lowest free descriptor, so in order 0, 1, 2 each
// open lands on the one that is missing.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) open("/dev/null", O_RDWR);
    }
}

struct ServerOptions {
    std::uint32_t listen_address;  // host byte order; 0: every interface
    int port;
    bool metrics;  // -m given
    std::uint32_t metrics_address;
    int metrics_port;
    std::uint32_t table_size;  // records, the listener's included
};

ServerOptions options;  // module state: the command line's, set once before anything else runs

constexpr std::uint32_t LOOPBACK_ADDRESS = 0x7F000001;  // 127.0.0.1

// The options, then the port; arguments after the port are ignored. Sets the source policy.
// An unknown option or a missing value is also named by getopt's own line before the usage.
ArgumentAnswer read_arguments(int argc, char** argv) {
    // "+": options end at the first other argument, so nothing after the port is taken for one.
    // The long form takes no long option; it is there so that "--help" and the like are named
    // whole in the complaint, where plain getopt names only their second character.
    const option no_long_options[] = {{nullptr, 0, nullptr, 0}};
    options.table_size = MAX_CONNECTIONS;  // unless -c says otherwise
    for (int letter;
         (letter = getopt_long(argc, argv, "+l:s:m:c:", no_long_options, nullptr)) != -1;) {
        Ipv4Network network{};
        if (letter == 'l' && !parse_ipv4(optarg, &options.listen_address)) {
            report_bad_argument("relayhub", optarg, "an IPv4 address for -l");
            return ARGUMENT_REPORTED;
        }
        if (letter == 's' && !parse_network(optarg, &network)) {
            report_bad_argument("relayhub", optarg, "an IPv4 address or network for -s");
            return ARGUMENT_REPORTED;
        }
        if (letter == 's' && !allow_sources_from(network)) {
            std::fprintf(stderr, "relayhub: more than %u -s options\n", SOURCE_NETWORKS_MAX);
            return ARGUMENT_REPORTED;
        }
        if (letter == 'm') {
            options.metrics = true;
            options.metrics_address = LOOPBACK_ADDRESS;
            if (!parse_endpoint(optarg, &options.metrics_address, &options.metrics_port)) {
                report_bad_argument("relayhub", optarg, "a [ADDRESS:]PORT for -m");
                return ARGUMENT_REPORTED;
            }
        }
        if (letter == 'c') {
            std::uint64_t records = 0;
            if (!parse_count(optarg, 2, TABLE_SIZE_MAX, &records)) {
                report_bad_argument("relayhub", optarg,
                                    "a number of connections from 2 to 1048576 for -c");
                return ARGUMENT_REPORTED;
            }
            options.table_size = static_cast<std::uint32_t>(records);  // at most TABLE_SIZE_MAX
        }
        if (letter == '?') return ARGUMENTS_UNUSABLE;
    }
    if (optind >= argc) return ARGUMENTS_UNUSABLE;
    if (!parse_port(argv[optind], &options.port)) {
        report_bad_argument("relayhub", argv[optind], "a port (a whole number from 0 to 65535)");
        return ARGUMENT_REPORTED;
    }
    return ARGUMENTS_TAKEN;
}

constexpr char USAGE[] =
    "Usage: \n"
    "  relayhub 8888 2>log\n"
    "  -l ADDRESS         listen on this IPv4 address only (default 0.0.0.0, every interface)\n"
    "  -s ADDRESS[/BITS]  let this address or network feed the stream; repeatable (default "
    "127.0.0.0/8)\n"
    "  -m [ADDRESS:]PORT  answer metrics and health on this port (default address 127.0.0.1)\n"
    "  -c N               keep N connections at most, the listening one included (default 256)";
constexpr CommandLine COMMAND_LINE = {"relayhub", USAGE, NETWORK_PROGRAM, read_arguments};

// Descriptors open now beyond the standard three, less the listening sockets a refused image
// left open: those the relay was started with.
std::uint64_t count_inherited(const Resumed& resumed) {
    std::uint64_t open_now = 3;
    count_open_fds(&open_now);
    std::uint64_t kept = (resumed.listen_fd >= 0 ? 1U : 0U) + (resumed.metrics_fd >= 0 ? 1U : 0U);
    return open_now > 3 + kept ? open_now - 3 - kept : 0;
}

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    // First of all: until its handler is in, SIGUSR2 would end the process.
    watch_reload_signal();
    note_program(argc, argv);  // before getopt reorders argv; a reload fails without it
    if (int status = open_command_line(COMMAND_LINE, argc, argv); status != GO_ON) return status;
    if (!open_table(options.table_size)) {
        std::fprintf(stderr, "relayhub: no table of %u connections, errno=%i\n", options.table_size,
                     last_error());
        return 1;
    }
    const std::uint32_t now_ms = monotonic_ms();
    const ListeningPorts ports = {options.listen_address, options.port, options.metrics,
                                  options.metrics_address, options.metrics_port};
    Resumed resumed = resume_state(take_handed_image(), ports, now_ms);
    // Before anything is opened: a relay that could not hold its table would turn listeners
    // away, or fail to accept, long after it seemed to have started well. Descriptors it was
    // started with (beyond the standard three) hold places as surely as its own sockets do.
    std::uint64_t inherited = resumed.taken ? inherited_descriptors() : count_inherited(resumed);
    note_inherited(inherited);
    std::uint64_t needed = options.table_size + DESCRIPTORS_BESIDE_TABLE + inherited +
                           (options.metrics ? METRICS_SCRAPES_MAX : 0);
    DescriptorLimit descriptors = reserve_descriptors(needed);
    if (!descriptors.enough) {
        char held[64] = "";
        if (inherited > 0) {
            std::snprintf(held, sizeof held, ", %llu of them already open",
                          static_cast<unsigned long long>(inherited));
        }
        std::fprintf(stderr, "relayhub: -c %u needs %llu open files%s; the limit is %llu\n",
                     options.table_size, static_cast<unsigned long long>(descriptors.needed), held,
                     static_cast<unsigned long long>(descriptors.limit));
        return 1;
    }
    // Every descriptor the relay will hold lies below what it needs: the system hands out the
    // lowest free one.
    if (!open_readiness(static_cast<std::uint32_t>(needed))) {
        std::fprintf(stderr, "relayhub: no readiness for %llu descriptors, errno=%i\n",
                     static_cast<unsigned long long>(needed), last_error());
        return 1;
    }
    if (resumed.taken) {
        watch_table();
        watch_metrics_port();
        run_poll_loop();
    }
    note_start();
    int listen_fd = resumed.listen_fd;
    if (listen_fd < 0) listen_fd = open_listener(options.listen_address, options.port);
    if (listen_fd <= 0) {
        int err = last_error();  // the error of the last failed call inside open_listener
        std::printf("failed to open port %i, errno=%i\n", options.port, err);
        return 1;
    }
    if (resumed.metrics_fd >= 0) {
        adopt_metrics_socket(resumed.metrics_fd);
    } else if (options.metrics && !open_metrics(options.metrics_address, options.metrics_port)) {
        int err = last_error();
        std::printf("failed to open port %i, errno=%i\n", options.metrics_port, err);
        return 1;
    }
    // The listener's record keeps its own address and port, for the accept log.
    add_connection(listen_fd, LISTENER, Peer{options.listen_address, options.port}, now_ms);
    run_poll_loop();
}
