// SPDX-License-Identifier: MIT
#include "state_image.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "connections.h"
#include "handover.h"
#include "metrics.h"
#include "metrics_port.h"
#include "platform.h"
#include "reload.h"
#include "stream_window.h"

namespace {

std::uint64_t inherited;  // written by main at start, handed on by every reload

// The most an image may take for this relay's table: the window, every record with a request
// buffer's worth, and every scrape (whose requests are smaller) counted as a record.
std::uint64_t image_size_max() {
    return handover_size_max(WINDOW_CAPACITY, table_capacity() + METRICS_SCRAPES_MAX,
                             RECORD_IMAGE_BYTES + REQUEST_BUFFER_SIZE);
}

// Every socket the state names, the listener's first: the table's, then the metrics socket
// (-1 without -m) and the scrapes'. fds has room for a full table and metrics port. Returns
// the count, the metrics socket's place included.
std::uint32_t state_sockets(int* fds) {
    std::uint32_t n = connection_count();
    for (std::uint32_t i = 0; i < n; ++i) fds[i] = connection_at(i).fd;
    return n + 1 + metrics_port_sockets(fds + n);
}

int* socket_list() {
    return static_cast<int*>(std::malloc(
        (static_cast<std::size_t>(table_capacity()) + 1 + METRICS_SCRAPES_MAX) * sizeof(int)));
}

// Whether every socket a taken state names is one of this process's, of the kind its place
// says, and named once: descriptors handed in by anything but the relay's own reload are
// trusted no further than this.
bool sockets_hold(const ListeningPorts& ports, int image_fd) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    int* fds = socket_list();
    auto* seen = static_cast<std::uint8_t*>(std::calloc(files.rlim_cur, 1));
    bool hold = fds != nullptr && seen != nullptr;
    std::uint32_t n = hold ? state_sockets(fds) : 0;
    std::uint32_t metrics_place = connection_count();
    const Connection& listener = connection_at(0);
    hold = hold && listener.peer.address == ports.address && listener.peer.port == ports.port &&
           (fds[metrics_place] >= 0) == ports.metrics;
    for (std::uint32_t k = 0; k < n && hold; ++k) {
        int fd = fds[k];
        if (k == metrics_place && fd < 0) continue;
        if (fd < 3 || fd == image_fd || static_cast<std::uint64_t>(fd) >= files.rlim_cur ||
            seen[fd] != 0) {
            hold = false;
            break;
        }
        seen[fd] = 1;
        if (k == 0) {
            hold = is_our_socket(fd, true, ports.address, ports.port);
        } else if (k == metrics_place) {
            hold = is_our_socket(fd, true, ports.metrics_address, ports.metrics_port);
        } else {
            hold = is_our_socket(fd, false, 0, 0);
        }
    }
    std::free(seen);
    std::free(fds);
    return hold;
}

// After a refused image: every inherited socket is closed but one listening on each port,
// which is kept and returned. Other descriptors (not sockets) stay, as at any start.
Resumed keep_listening_sockets(const ListeningPorts& ports) {
    Resumed kept{false, -1, -1};
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return kept;
    while (dirent* e = readdir(dir)) {
        int fd = std::atoi(e->d_name);
        struct stat file {};
        if (fd < 3 || fd == dirfd(dir) || fstat(fd, &file) != 0 || !S_ISSOCK(file.st_mode)) {
            continue;
        }
        if (kept.listen_fd < 0 && is_our_socket(fd, true, ports.address, ports.port)) {
            kept.listen_fd = fd;
        } else if (ports.metrics && kept.metrics_fd < 0 &&
                   is_our_socket(fd, true, ports.metrics_address, ports.metrics_port)) {
            kept.metrics_fd = fd;
        } else {
            close_socket(fd);  // its peer sees the close, and reconnects
        }
    }
    closedir(dir);
    return kept;
}

// Every module as at a fresh start, after a state was refused; no socket is closed here.
void forget_state() {
    forget_server_window();
    forget_table();
    forget_metrics_port();
    forget_counters();
    inherited = 0;
}

}  // namespace

Resumed resume_state(int image_fd, const ListeningPorts& ports, std::uint32_t now_ms) {
    if (image_fd < 0) return Resumed{false, -1, -1};
    HandoverImage image{};
    HandoverReader body{};
    HandoverAnswer answer = read_image(image_fd, image_size_max(), &image, &body);
    const char* why = handover_answer_text(answer);
    bool taken = answer == IMAGE_TAKEN;
    if (taken && !take_state(body, now_ms)) {
        taken = false;
        why = "a field out of bounds";
    }
    if (taken && !sockets_hold(ports, image_fd)) {
        taken = false;
        why = "a socket that is not the relay's";
    }
    release_image(image);
    close(image_fd);
    if (taken) return Resumed{true, -1, -1};
    forget_state();
    std::fprintf(stderr,
                 "relayhub: reload: state not taken (%s); listeners reconnect, the ports stay\n",
                 why);
    return keep_listening_sockets(ports);
}

void note_inherited(std::uint64_t count) { inherited = count; }

std::uint64_t inherited_descriptors() { return inherited; }

void reload_now(std::uint32_t now_ms) {
    // Built in place in the memory file that goes across the exec: the window is copied once.
    HandoverImage image = begin_image_in_file(image_size_max());
    put_state(image, now_ms);
    int image_fd = seal_image(image);
    release_image(image);
    int* fds = socket_list();
    if (image_fd >= 0 && fds != nullptr) {
        std::uint32_t n = state_sockets(fds);
        // The metrics socket's place holds -1 without -m: kept lists only open sockets.
        std::uint32_t metrics_place = connection_count();
        if (fds[metrics_place] < 0) {
            for (std::uint32_t k = metrics_place; k + 1 < n; ++k) fds[k] = fds[k + 1];
            n -= 1;
        }
        exec_next_self(image_fd, fds, n);  // returns only when it failed, image_fd closed
    } else if (image_fd >= 0) {
        close(image_fd);
    }
    int err = last_error();  // before fprintf, which may change errno
    std::free(fds);
    std::fprintf(stderr, "relayhub: reload failed, errno=%i; this program serves on\n", err);
}

void put_state(HandoverImage& image, std::uint32_t now_ms) {
    put_u64(image, inherited);
    put_server_window(image);
    put_table(image, now_ms);
    put_metrics_port(image, now_ms);
    put_counters(image, now_ms);
}

bool take_state(HandoverReader& body, std::uint32_t now_ms) {
    inherited = take_u64(body);
    bool taken = !body.failed && take_server_window(body);
    const StreamWindow& window = server_window();
    taken = taken && take_table(body, now_ms, window.base + window.fill) &&
            take_metrics_port(body, now_ms) && take_counters(body, now_ms) && reader_complete(body);
    if (!taken) forget_state();
    return taken;
}
