#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
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

// Workers forked and workers ended, where they are counted (a bound on
// them is set): each counter has one writer, the loop and the SIGCHLD
// handler, so neither update can be lost to the other.
long workers_started = 0;
volatile sig_atomic_t workers_ended = 0;

void reap_workers(int)
{
    int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0)
        workers_ended = workers_ended + 1;
    errno = saved;
}

// Without a bound the kernel reaps each worker (SIGCHLD is ignored); with
// one the parent reaps them itself, as they end, and counts them.
void count_workers()
{
    struct sigaction action = {};
    action.sa_handler = reap_workers;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    (void)::sigaction(SIGCHLD, &action, nullptr);
}

long workers_running()
{
    return workers_started - static_cast<long>(workers_ended);
}

// At the bound: one line now, and at most one a minute while it lasts.
void report_bound(long bound)
{
    static long long last_report_ms = -1;
    long long now = monotonic_ms();
    if (last_report_ms >= 0 && now - last_report_ms < 60000)
        return;
    last_report_ms = now;
    (void)std::fprintf(stderr,
                       "warning: all %ld workers busy, as many as the memory limit allows; "
                       "new connections wait\n",
                       bound);
}

// Waits, without accepting, until a worker has ended or a stop signal came.
// SIGCHLD is blocked but while the wait sleeps, so that a worker ending
// between the check and the sleep still wakes it.
void wait_below_bound(long bound)
{
    report_bound(bound);
    sigset_t child, before;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    (void)::sigprocmask(SIG_BLOCK, &child, &before);
    while (workers_running() >= bound && stop_signal == 0)
        (void)::ppoll(nullptr, 0, nullptr, &before);
    (void)::sigprocmask(SIG_SETMASK, &before, nullptr);
}

// With SIGCHLD ignored the kernel reaps each worker, and a wait returns
// only once there is none left; with workers counted, the handler reaps
// them, and the wait ends when it finds none.
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
    close_oom_score();
    handle_connection(conn_fd, config);
}

int accept_loop(const server_config& config)
{
    catch_stop_signals(config.listen_fd);
    if (config.worker_bound > 0)
        count_workers();
    while (stop_signal == 0) {
        // At the bound, clients wait in the listening queue, unanswered
        // but not refused, until a worker ends.
        if (config.worker_bound > 0 && workers_running() >= config.worker_bound) {
            wait_below_bound(config.worker_bound);
            continue;
        }
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
        raise_oom_score_for_fork();
        pid_t worker = ::fork();
        if (worker == 0)
            start_worker(conn_fd, config);
        restore_oom_score();
        ::close(conn_fd);
        if (worker > 0)
            ++workers_started;
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
