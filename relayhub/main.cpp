// SPDX-License-Identifier: MIT
// relayhub: the relay server. Listens on the port of its command line and relays the stream
// of its sources to its players until it is killed.

#include <fcntl.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "connections.h"
#include "platform.h"

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

}  // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    signal(SIGPIPE, SIG_IGN);  // a send to a vanished player must fail with -1, not end us
    if (argc <= 1) {
        std::puts("Usage: \n  relayhub 8888 2>log");
        return 1;
    }
    int port = std::atoi(argv[1]);
    int listen_fd = open_listener(port);
    if (listen_fd <= 0) {
        int err = last_error();  // the error of the last failed call inside open_listener
        std::printf("failed to open port %i, errno=%i\n", port, err);
        return 1;
    }
    add_connection(listen_fd, LISTENER);
    run_poll_loop();
}
