#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include "request/request.h"
#include "server/server.h"

namespace {

// Failures that only time can mend: retrying at once would spin a core and
// flood standard error.
bool lacks_resources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void pause_briefly()
{
    struct timespec pause = {0, 50L * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
}

}  // namespace

void accept_loop(const server_config& config)
{
    for (;;) {
        // Non-blocking, so that no send or receive of the worker can wait
        // longer than the time limit it is under.
        int conn_fd = ::accept4(config.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn_fd < 0) {
            int error = errno;
            if (error == EINTR)
                continue;
            std::perror("accept");
            if (lacks_resources(error))
                pause_briefly();
            continue;
        }
        // After the fork each side closes its copy of what it does not own:
        // the worker the listening socket (in handle_connection), the parent
        // the connection. A failed fork closes the connection unanswered,
        // and waits a moment before the next: out of processes, the parent
        // would otherwise close every queued client at once, while a short
        // wait lets them have the workers that end meanwhile.
        pid_t worker = ::fork();
        if (worker == 0)
            handle_connection(conn_fd, config);
        ::close(conn_fd);
        if (worker < 0)
            pause_briefly();
    }
}
