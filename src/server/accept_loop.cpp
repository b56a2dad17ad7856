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
        int conn_fd = ::accept4(config.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
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
        // the connection. A failed fork closes the connection unanswered.
        if (::fork() == 0)
            handle_connection(conn_fd, config);
        ::close(conn_fd);
    }
}
