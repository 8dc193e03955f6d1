// SPDX-License-Identifier: MIT
#include "pipeline.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace testkit {
namespace {

constexpr int RELAY_START_TIMEOUT_MS = 5000;
constexpr std::size_t PROGRESS_TAIL_BYTES = 256;

}  // namespace

bool start_relay(const std::string& path, Relay* relay, const std::vector<std::string>& options,
                 int port) {
    *relay = Relay{};
    relay->port = port != 0 ? port : free_port();
    std::vector<std::string> argv = {path};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(std::to_string(relay->port));
    relay->child = start_program(argv);
    int probe = connect_loopback(relay->port, RELAY_START_TIMEOUT_MS);
    bool up = probe >= 0;
    if (up) {
        int probe_port = local_port(probe);
        close(probe);
        // Its side of the probe is gone, or past CLOSE-WAIT: the relay has closed it.
        auto probe_closed = [&] {
            std::vector<RelaySocket> sockets = relay_sockets(relay->port);
            const RelaySocket* s = find_relay_socket(sockets, probe_port);
            return s == nullptr ||
                   (s->state != TCP_STATE_ESTABLISHED && s->state != TCP_STATE_CLOSE_WAIT);
        };
        up = wait_for(
            [&] {
                count_accepts(relay);
                return relay->accepted >= 1 && probe_closed();
            },
            3000);
    }
    if (!up) stop_relay(relay);
    return up;
}

void stop_relay(Relay* relay) { stop(relay->child); }

void count_accepts(Relay* relay) {
    std::ifstream in(relay->child.err_path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(relay->log_seen));
    std::string more((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    relay->log_seen += more.size();
    relay->accepted += count_of(more, "\n");
}

bool start_pipeline(const PipelineSetup& setup, int port, Pipeline* pipeline) {
    *pipeline = Pipeline{};
    for (const std::string* path : {&setup.blockframe, &setup.feedsend}) {
        if (access(path->c_str(), X_OK) != 0) {
            std::printf("cannot run %s\n", path->c_str());
            return false;
        }
    }
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) return false;
    std::vector<std::string> framer = {setup.blockframe, "-t"};
    if (setup.payload != 0) framer.insert(framer.end(), {"-s", std::to_string(setup.payload)});
    framer.insert(framer.end(), {"-r", std::to_string(setup.rate)});
    pipeline->blockframe = start_program_fds(framer, -1, ends[1]);
    pipeline->feedsend =
        start_program_fds({setup.feedsend, "@127.0.0.1", std::to_string(port)}, ends[0], -1);
    // Only the two children hold the pipe now, so either one's end is seen by the other.
    close(ends[0]);
    close(ends[1]);
    if (pipeline->blockframe.pid > 0 && pipeline->feedsend.pid > 0) return true;
    stop_pipeline(pipeline);
    return false;
}

void stop_pipeline(Pipeline* pipeline) {
    stop(pipeline->feedsend);
    stop(pipeline->blockframe);
}

bool start_pipeline_run(const std::string& relayhub_path, const PipelineSetup& setup,
                        double warmup_seconds, const char* name, PipelineRun* run,
                        const std::vector<std::string>& relay_options) {
    if (!start_relay(relayhub_path, &run->relay, relay_options)) {
        std::printf("\n%s: relayhub did not start\n", name);
        return false;
    }
    if (!start_pipeline(setup, run->relay.port, &run->pipeline)) {
        std::printf("\n%s: the blockframe | feedsend pipeline did not start\n", name);
        stop_relay(&run->relay);
        return false;
    }
    sleep_for_ms(static_cast<int>(warmup_seconds * 1000));
    return true;
}

void stop_pipeline_run(PipelineRun* run) {
    stop_pipeline(&run->pipeline);
    stop_relay(&run->relay);
}

std::uint64_t feedsend_sent_bytes(const Pipeline& pipeline) {
    std::ifstream in(pipeline.feedsend.err_path, std::ios::binary | std::ios::ate);
    std::streamoff size = in.tellg();
    if (size <= 0) return 0;
    auto tail = static_cast<std::streamoff>(PROGRESS_TAIL_BYTES);
    in.seekg(size > tail ? size - tail : 0);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Progress lines are "N bytes in S.Ss\r"; the last whole one is what counts.
    std::size_t at = text.rfind(" bytes in ");
    if (at == std::string::npos) return 0;
    std::size_t begin = at;
    while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9') --begin;
    if (begin == at) return 0;
    return std::stoull(text.substr(begin, at - begin));
}

std::vector<RelaySocket> relay_sockets(int relay_port) {
    std::vector<RelaySocket> sockets;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // the column names
    // A bound on the lines read, far above what a run opens, in case the file is odd.
    for (int k = 0; k < 100000 && std::getline(in, line); ++k) {
        unsigned local_address = 0;
        unsigned local_port = 0;
        unsigned peer_port = 0;
        unsigned state = 0;
        unsigned long tx_queue = 0;
        // "  12: 0100007F:1F90 0100007F:C350 01 00000000:00000000 ...", all hexadecimal.
        if (std::sscanf(line.c_str(), " %*u: %8x:%4x %*8x:%4x %2x %8lx:", &local_address,
                        &local_port, &peer_port, &state, &tx_queue) != 5) {
            continue;
        }
        if (local_address == 0 || static_cast<int>(local_port) != relay_port) continue;
        sockets.push_back(RelaySocket{static_cast<int>(peer_port), static_cast<int>(state),
                                      static_cast<std::uint64_t>(tx_queue)});
    }
    return sockets;
}

const RelaySocket* find_relay_socket(const std::vector<RelaySocket>& sockets, int peer_port) {
    const RelaySocket* found = nullptr;
    for (const RelaySocket& s : sockets) {
        if (s.peer_port != peer_port) continue;
        if (found == nullptr || found->state == TCP_STATE_TIME_WAIT) found = &s;
    }
    return found;
}

}  // namespace testkit
