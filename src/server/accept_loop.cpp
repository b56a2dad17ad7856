#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"
#include "server/server.h"

namespace {

// Set by the stop handler; the listening socket is closed there, so that
// the port is free at once, whatever the loop is doing.
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

// Only to end the wait: the loop reaps.
void wake_on_child(int) {}

void set_handler(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = signal == SIGCHLD ? SA_NOCLDSTOP : 0;
    (void)::sigaction(signal, &action, nullptr);
}

// Installed by hand rather than left to the kernel's default: as PID 1 (in
// a container) the process has no default action for either signal. The
// signals come only while the loop waits, and blocked otherwise: a stop
// cannot slip in between the loop's last look and its wait, and reaping
// and counting workers happen in the loop alone. Gives the mask to wait
// with.
sigset_t catch_signals(int listen_fd)
{
    stop_listen_fd = listen_fd;
    set_handler(SIGTERM, stop_on_signal);
    set_handler(SIGINT, stop_on_signal);
    set_handler(SIGCHLD, wake_on_child);
    sigset_t caught, waiting;
    sigemptyset(&caught);
    sigaddset(&caught, SIGCHLD);
    sigaddset(&caught, SIGTERM);
    sigaddset(&caught, SIGINT);
    (void)::sigprocmask(SIG_BLOCK, &caught, &waiting);
    return waiting;
}

// Failures that only time can mend: retrying at once would spin a core and
// flood standard error.
bool lacks_resources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// A warning that stays true while it lasts: printed the first time, then
// at most once a `period_ms` (a minute unless said).
bool time_to_report(long long& last_ms, long long now, long long period_ms = 60000)
{
    if (last_ms >= 0 && now - last_ms < period_ms)
        return false;
    last_ms = now;
    return true;
}

// Workers by process id, one bit each, so that only what the parent forked
// is counted: as PID 1 in a container it also reaps processes it adopts.
constexpr std::size_t pid_limit = std::size_t{1} << 22;  // the kernel's highest
std::uint8_t* worker_pids = nullptr;

bool forget_worker(pid_t pid)
{
    auto at = static_cast<std::size_t>(pid);
    if (pid <= 0 || at >= pid_limit)
        return false;
    auto bit = static_cast<std::uint8_t>(1u << (at & 7));
    bool was = (worker_pids[at >> 3] & bit) != 0;
    worker_pids[at >> 3] = static_cast<std::uint8_t>(worker_pids[at >> 3] & ~bit);
    return was;
}

void note_worker(pid_t pid)
{
    auto at = static_cast<std::size_t>(pid);
    if (at < pid_limit)
        worker_pids[at >> 3] = static_cast<std::uint8_t>(worker_pids[at >> 3] | (1u << (at & 7)));
}

struct loop_state {
    const server_config& config;
    long bound;        // workers at once; no bound is the largest count
    long running = 0;  // workers forked and not yet reaped
    bool listening = false;
    long long now = 0;          // the clock, read once a wake-up and once an accept
    long long pause_until = 0;  // after a failure that only time mends
    long long bound_reported = -1;
    long long shed_reported = -1;
    long long fork_reported = -1;
};

void reap_workers(loop_state& loop)
{
    for (pid_t pid; (pid = ::waitpid(-1, nullptr, WNOHANG)) > 0;)
        if (forget_worker(pid))
            --loop.running;
}

// The worker is forked with the highest out-of-memory score. A failed fork
// closes the connection unanswered, and the loop pauses a moment before
// the next: out of processes, the parent would otherwise close every
// waiting client at once, while a short wait lets them have the workers
// that end meanwhile.
void fork_worker(loop_state& loop, int fd, long long accepted_ms)
{
    raise_oom_score_for_fork();
    // No fork handlers run and no locks are reset: the parent has no
    // threads, and the worker copies fewer pages.
    pid_t worker = ::_Fork();
    if (worker == 0)
        start_worker(fd, loop.config, accepted_ms + head_deadline_ms);
    restore_oom_score();
    ::close(fd);
    if (worker > 0) {
        note_worker(worker);
        ++loop.running;
        return;
    }
    // Reported at most once a second: out of processes, the parent fails
    // twenty times a second.
    if (time_to_report(loop.fork_reported, loop.now, 1000))
        std::perror("fork");
    loop.pause_until = loop.now + 50;
}

// Whether a worker may be forked now: below the bound, and not in the
// pause after a failure.
bool can_fork(const loop_state& loop)
{
    return loop.running < loop.bound && loop.now >= loop.pause_until;
}

// A connection whose head has arrived gets a worker now, or waits for one
// behind those that came before it.
void dispatch(loop_state& loop, int fd, long long accepted_ms)
{
    if (can_fork(loop) && first_held(room_place::ready) < 0)
        fork_worker(loop, fd, accepted_ms);
    else if (!hold_connection(fd, accepted_ms, room_place::ready))
        ::close(fd);
}

void give_workers(loop_state& loop)
{
    for (int fd; can_fork(loop) && (fd = first_held(room_place::ready)) >= 0;) {
        long long accepted_ms = accepted_at(fd);
        let_go(fd);
        fork_worker(loop, fd, accepted_ms);
    }
    if (loop.running >= loop.bound && first_held(room_place::ready) >= 0 &&
        time_to_report(loop.bound_reported, loop.now))
        (void)std::fprintf(stderr,
                           "warning: all %ld workers busy, as many as the %s limit allows; "
                           "new connections wait\n",
                           loop.bound, loop.config.bound_by_processes ? "process" : "memory");
}

// A connection that has not sent its head while the server is full gives
// way: closed unanswered, as at its deadline.
void shed(loop_state& loop, int fd)
{
    let_go(fd);
    ::close(fd);
    if (time_to_report(loop.shed_reported, loop.now))
        (void)std::fprintf(stderr,
                           "warning: server full: connections that have not sent their request "
                           "head are closed unanswered, the oldest first\n");
}

// Makes room for one more connection, where one has waited long enough
// that it is no real client's head on its way.
bool shed_oldest(loop_state& loop)
{
    int oldest = first_held(room_place::waiting);
    if (oldest < 0 || loop.now - accepted_at(oldest) < shed_after_ms)
        return false;
    shed(loop, oldest);
    return true;
}

// At the head deadline a connection is answered with what it has sent, as
// a worker answers any head at its deadline; when no worker is free it is
// closed instead.
void settle_late_heads(loop_state& loop)
{
    for (int fd; (fd = first_held(room_place::waiting)) >= 0;) {
        long long accepted_ms = accepted_at(fd);
        if (loop.now - accepted_ms < head_deadline_ms)
            return;
        if (!can_fork(loop)) {
            shed(loop, fd);
            continue;
        }
        let_go(fd);
        fork_worker(loop, fd, accepted_ms);
    }
}

// Where the head stands decides: a worker at once, the waiting room, or the
// end. A connection the kernel hands over with nothing in it has been
// silent for the whole deferral, the head deadline: it is closed as the
// deadline would close it.
void take(loop_state& loop, int fd)
{
    switch (look_at_head(fd, false)) {
    case head_state::complete: dispatch(loop, fd, loop.now); return;
    case head_state::silent:
        if (loop.config.defers_accept)
            break;
        [[fallthrough]];
    case head_state::partial:
        if (hold_connection(fd, loop.now, room_place::waiting))
            return;
        break;
    case head_state::gone: break;
    }
    ::close(fd);
}

// Accepts what the queue holds, a batch at a time, so that a flood of
// connections that send nothing cannot keep real clients in the queue.
void accept_batch(loop_state& loop)
{
    for (int taken = 0; taken < 64 && stop_signal == 0; ++taken) {
        loop.now = monotonic_ms();
        if (loop.now < loop.pause_until)
            return;
        if (waiting_room_full() && !shed_oldest(loop))
            return;
        // Non-blocking, so that no send or receive of the worker can wait
        // longer than the time limit it is under.
        int fd = ::accept4(loop.config.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            take(loop, fd);
            continue;
        }
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || stop_signal != 0)
            return;
        if (error == EINTR || error == ECONNABORTED)
            continue;
        std::perror("accept");
        if (lacks_resources(error))
            loop.pause_until = loop.now + 50;
        return;
    }
}

void on_head_event(loop_state& loop, int fd, std::uint32_t events)
{
    if (place_of(fd) != room_place::waiting)
        return;  // let go earlier in this batch
    bool client_done = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    head_state state = look_at_head(fd, client_done);
    if (state == head_state::partial || (state == head_state::silent && !client_done))
        return;
    long long accepted_ms = accepted_at(fd);
    let_go(fd);
    if (state == head_state::complete)
        dispatch(loop, fd, accepted_ms);
    else
        ::close(fd);
}

// Listens while there is room and nothing to wait out; the queue holds the
// rest meanwhile.
void choose_listening(loop_state& loop)
{
    int oldest = first_held(room_place::waiting);
    bool can_shed = oldest >= 0 && loop.now - accepted_at(oldest) >= shed_after_ms;
    bool listen =
        stop_signal == 0 && loop.now >= loop.pause_until && (!waiting_room_full() || can_shed);
    if (stop_signal != 0 || listen == loop.listening) {
        loop.listening = listen && loop.listening;
        return;
    }
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = loop.config.listen_fd;
    (void)::epoll_ctl(waiting_room_fd(), listen ? EPOLL_CTL_ADD : EPOLL_CTL_DEL,
                      loop.config.listen_fd, &event);
    loop.listening = listen;
}

// Milliseconds until the next thing the loop must do unasked: a head
// deadline, the oldest head becoming one to shed, the end of a pause.
int next_timeout(const loop_state& loop)
{
    long long next = LLONG_MAX;
    int oldest = first_held(room_place::waiting);
    if (oldest >= 0)
        next = accepted_at(oldest) + (waiting_room_full() ? shed_after_ms : head_deadline_ms);
    if (loop.pause_until > loop.now && loop.pause_until < next)
        next = loop.pause_until;
    if (next == LLONG_MAX)
        return -1;
    long long left = next - loop.now;
    return left <= 0 ? 0 : static_cast<int>(left < INT_MAX ? left : INT_MAX);
}

void wait_for_events(loop_state& loop, const sigset_t& waiting_mask)
{
    struct epoll_event events[64];
    int count = ::epoll_pwait(waiting_room_fd(), events, 64, next_timeout(loop), &waiting_mask);
    loop.now = monotonic_ms();
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == loop.config.listen_fd) {
            if (loop.listening && stop_signal == 0)
                accept_batch(loop);
        } else {
            on_head_event(loop, events[i].data.fd, events[i].events);
        }
    }
}

// Closes every descriptor but the standard streams and `keep` and
// `also_keep` (-1 for none).
void keep_only(int keep, int also_keep)
{
    auto low = static_cast<unsigned>(also_keep < 0 || keep < also_keep ? keep : also_keep);
    auto high = static_cast<unsigned>(also_keep < 0 || keep > also_keep ? keep : also_keep);
    if (low > 3)
        (void)::close_range(3, low - 1, 0);
    if (high > low + 1)
        (void)::close_range(low + 1, high - 1, 0);
    (void)::close_range(high + 1, ~0u, 0);
}

}  // namespace

bool prepare_accept_loop()
{
    worker_pids = static_cast<std::uint8_t*>(map_unshared(pid_limit / 8));
    return worker_pids != nullptr;
}

void start_worker(int conn_fd, const server_config& config, long long head_due_ms)
{
    // The other connections the parent holds, the listening socket, the
    // watch set and the score's descriptor are the parent's alone; the
    // prepared ruleset stays until the worker has restricted itself.
    keep_only(conn_fd, prepared_ruleset_fd());
    // A worker stops as any process does: Ctrl-C in a terminal reaches it
    // too, and a SIGTERM meant for it alone ends it.
    (void)std::signal(SIGTERM, SIG_DFL);
    (void)std::signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
    handle_connection(conn_fd, config, head_due_ms);
}

int accept_loop(const server_config& config)
{
    sigset_t waiting_mask = catch_signals(config.listen_fd);
    loop_state loop = {config, config.worker_bound > 0 ? config.worker_bound : LONG_MAX};
    loop.now = monotonic_ms();
    // After a stop the connections already taken still get their workers;
    // the loop ends when the last worker has.
    for (;;) {
        reap_workers(loop);
        if (stop_signal != 0 && waiting_room_held() == 0 && loop.running == 0)
            return 0;
        give_workers(loop);
        settle_late_heads(loop);
        choose_listening(loop);
        wait_for_events(loop, waiting_mask);
    }
}
