#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"
#include "server/server.h"

namespace {

// Set by the stop handler; the listening socket is closed there, so that an
// accept the signal did not interrupt (it came just before the call) fails
// at once instead of waiting for the next client.
volatile sig_atomic_t stop_signal = 0;
int stop_listen_fd = -1;

void stop_on_signal(int signal)
{
    // SIGINT, or a second SIGTERM: the operator wants it over now.
    if (signal == SIGINT || stop_signal != 0)
        ::_exit(signal == SIGINT ? 128 + SIGINT : 0);
    stop_signal = signal;
    ::close(stop_listen_fd);
}

// Installed by hand rather than left to the kernel's default: as PID 1 (in
// a container) the process has no default action for either signal.
void catch_stop_signals(int listen_fd)
{
    stop_listen_fd = listen_fd;
    struct sigaction action = {};
    action.sa_handler = stop_on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: accept must return to see the stop
    (void)::sigaction(SIGTERM, &action, nullptr);
    (void)::sigaction(SIGINT, &action, nullptr);
}

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

// A failed fork is reported, but at most once a second: out of processes,
// the parent fails twenty times a second.
void report_failed_fork()
{
    static long long last_report_ms = -1000000;
    int error = errno;
    long long now = monotonic_ms();
    if (now - last_report_ms < 1000)
        return;
    last_report_ms = now;
    errno = error;
    std::perror("fork");
}

// With SIGCHLD ignored the kernel reaps each worker, and a wait returns
// only once there is none left.
void wait_for_workers()
{
    while (::wait4(-1, nullptr, 0, nullptr) >= 0 || errno == EINTR) {
    }
}

}  // namespace

void start_worker(int conn_fd, const server_config& config)
{
    // A worker stops as any process does: Ctrl-C in a terminal reaches it
    // too, and a SIGTERM meant for it alone ends it.
    (void)std::signal(SIGTERM, SIG_DFL);
    (void)std::signal(SIGINT, SIG_DFL);
    handle_connection(conn_fd, config);
}

int accept_loop(const server_config& config)
{
    catch_stop_signals(config.listen_fd);
    while (stop_signal == 0) {
        // Non-blocking, so that no send or receive of the worker can wait
        // longer than the time limit it is under.
        int conn_fd = ::accept4(config.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (conn_fd < 0) {
            int error = errno;
            if (error == EINTR || stop_signal != 0)
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
            start_worker(conn_fd, config);
        ::close(conn_fd);
        if (worker < 0) {
            report_failed_fork();
            pause_briefly();
        }
    }
    // The port is free already; the workers finish what they have, each
    // within its own time limits.
    wait_for_workers();
    return 0;
}
