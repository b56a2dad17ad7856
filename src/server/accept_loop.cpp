#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
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

// Workers by process id, a bit each in three sets: forked for this loop
// and not yet reaped, so that only they are counted (as PID 1 in a
// container it also reaps processes it adopts); reaped before the forker's
// word of them came; and handed back, so that each hands back at most
// once. The last is cleared when the forker reports a new worker of that
// number, not when one is reaped: a worker's message may still wait in the
// channel when it ends.
constexpr std::size_t pid_limit = std::size_t{1} << 22;  // the kernel's highest
std::uint8_t* worker_pids = nullptr;
std::uint8_t* early_exits = nullptr;
std::uint8_t* handed_back = nullptr;

// Sets the bit of `pid` to `value`; gives what it was.
bool mark(std::uint8_t* bits, pid_t pid, bool value)
{
    auto at = static_cast<std::size_t>(pid);
    if (pid <= 0 || at >= pid_limit)
        return false;
    auto bit = static_cast<std::uint8_t>(1u << (at & 7));
    bool was = (bits[at >> 3] & bit) != 0;
    bits[at >> 3] = static_cast<std::uint8_t>(value ? bits[at >> 3] | bit : bits[at >> 3] & ~bit);
    return was;
}

// While anything waits for its pages to come from the disk, they are
// looked for this often.
constexpr int warm_retry_ms = 10;

struct loop_state {
    const server_config& config;
    long bound;                 // workers at once; no bound is the largest count
    unsigned long long budget;  // memory for everything held; 0: no limit
    memory_gate& gate;          // what the kernel has charged, near the limit
    long running = 0;           // workers asked for and not yet reaped
    pid_t forker = -1;
    std::uint64_t next_sequence = 1;  // of the next request to the forker
    std::uint64_t answered = 0;       // the last request the forker answered
    bool listening = false;
    long long now = 0;           // the clock, read once a wake-up and once an accept
    long long pause_until = 0;   // after a failure that only time mends
    long long forker_retry = 0;  // when a forker that could not start is tried again
    long long next_sweep = 0;    // when downloads are next looked at for a stall
    long refused = 0;            // hand-backs refused
    long long bound_reported = -1;
    long long shed_reported = -1;
    long long fork_reported = -1;
    long long refused_reported = -1;
    long long unconfined_reported = -1;
    long long memory_reported = -1;
};

// What everything held costs the server's cgroup, counted as cgroup v2
// would: the kernel's memory of each connection, its socket buffers, and
// each worker. A complete head that waits for a worker is not counted: it
// is what the budget is for, and counted it would keep its own worker out.
unsigned long long charged(const loop_state& loop)
{
    std::size_t handed = held_in(room_place::sending) + held_in(room_place::warming) +
                         held_in(room_place::lingering);
    return held_in(room_place::waiting) * waiting_memory_cost + handed * handed_memory_cost +
           static_cast<unsigned long long>(loop.running) * worker_memory_cost;
}

bool within_budget(const loop_state& loop, unsigned long long more)
{
    return loop.budget == 0 || charged(loop) + more <= loop.budget;
}

// Room for one more connection whose head is on its way: heads may take
// half of the budget, so that what they ask has workers left to answer it.
bool room_for_head(const loop_state& loop)
{
    return !waiting_room_full() && within_budget(loop, waiting_memory_cost) &&
           (loop.budget == 0 ||
            (held_in(room_place::waiting) + 1) * waiting_memory_cost <= loop.budget / 2);
}

// Whether a worker may be forked now: a forker to ask, below the bound and
// the budget, not in the pause after a failure, and room beside what the
// kernel has charged. Short of that charged room alone, it says so.
bool can_fork(loop_state& loop)
{
    if (loop.forker < 0 || loop.running >= loop.bound || loop.now < loop.pause_until ||
        !within_budget(loop, worker_memory_cost))
        return false;
    if (memory_allows_fork(loop.gate, loop.now))
        return true;
    loop.pause_until = loop.now + 10;
    if (time_to_report(loop.memory_reported, loop.now))
        (void)std::fprintf(stderr,
                           "warning: memory near the limit (%llu of %llu KiB charged): new "
                           "connections wait\n",
                           loop.gate.usage / 1024, loop.gate.limit / 1024);
    return false;
}

// Reaps what has ended. A worker that could not confine itself served
// nothing, and only the parent can say so without a worker per line.
void reap_workers(loop_state& loop)
{
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        if (pid == loop.forker) {
            loop.forker = -1;
            continue;
        }
        if (!mark(worker_pids, pid, false)) {
            // Its report is still on its way (or it is no worker at all).
            (void)mark(early_exits, pid, true);
            continue;
        }
        --loop.running;
        if (WIFEXITED(status) && WEXITSTATUS(status) == unconfined_exit_status &&
            time_to_report(loop.unconfined_reported, loop.now))
            (void)std::fprintf(stderr, "warning: a worker could not confine itself (Landlock, or "
                                       "its user) and closed its connection unanswered\n");
    }
}

void report_fork_failure(loop_state& loop, int error)
{
    // At most once a second: out of processes, a fork fails twenty times a
    // second.
    if (time_to_report(loop.fork_reported, loop.now, 1000))
        (void)std::fprintf(stderr, "fork: %s\n", std::strerror(error));
    loop.pause_until = loop.now + 50;
}

// The forker forks the worker, at the highest out-of-memory score, and
// says which; the connection is the worker's from here. With the forker's
// queue full, the connection waits its turn.
void fork_worker(loop_state& loop, int fd, long long accepted_ms)
{
    if (request_worker(loop.config.forker_fd, fd, loop.next_sequence, accepted_ms)) {
        ++loop.next_sequence;
        ++loop.running;
        note_fork(loop.gate);
        ::close(fd);
        return;
    }
    if (!hold_connection(fd, accepted_ms, room_place::ready))
        ::close(fd);
    loop.pause_until = loop.now + 10;
}

// What the forker says of a request, in order. A request it never
// answered went with a forker that ended; its connection with it. A failed
// fork closed the connection unanswered, and the loop pauses a moment
// before the next: out of processes, it would otherwise close every
// waiting client at once, while a short wait lets them have the workers
// that end meanwhile.
void take_report(loop_state& loop, const forker_report& report)
{
    if (report.sequence > loop.answered + 1)
        loop.running -= static_cast<long>(report.sequence - loop.answered - 1);
    if (report.sequence > loop.answered)
        loop.answered = report.sequence;
    pid_t worker = report.worker;
    if (worker <= 0) {
        --loop.running;
        report_fork_failure(loop, report.error);
        return;
    }
    (void)mark(handed_back, worker, false);
    if (mark(early_exits, worker, false))
        --loop.running;
    else
        (void)mark(worker_pids, worker, true);
}

void take_forker_reports(loop_state& loop)
{
    forker_report reports[max_reports_per_message];
    for (std::size_t count; (count = receive_reports(loop.config.forker_fd, reports)) > 0;)
        for (std::size_t i = 0; i < count; ++i)
            take_report(loop, reports[i]);
}

void close_held(int fd, bool reset = false)
{
    let_go(fd);
    if (reset)
        reset_connection(fd);
    else
        ::close(fd);
}

// A forker that has ended (killed for memory, say) is started again once a
// worker's worst case fits beside what is charged: the parent's score is
// raised for that fork alone, when memory is not short. Where it cannot be
// forked, a complete head is closed unanswered, as a failed fork of its
// worker would close it.
void keep_forker(loop_state& loop)
{
    if (loop.forker >= 0 || loop.now < loop.forker_retry ||
        !memory_allows_fork(loop.gate, loop.now))
        return;
    loop.forker = start_forker(loop.config);
    if (loop.forker >= 0)
        return;
    int error = errno;
    if (int fd = first_held(room_place::ready); fd >= 0)
        close_held(fd);
    report_fork_failure(loop, error);
    loop.pause_until = loop.now;
    loop.forker_retry = loop.now + 50;
}

// The connection that has taken nothing for longest, of those that may
// give way: a head still on its way, or a download whose client has taken
// nothing since; a complete head waiting for its worker never is.
int longest_idle(const loop_state& loop)
{
    int head = first_held(room_place::waiting);
    int download = first_held(room_place::sending);
    int idlest = head < 0                                              ? download
                 : download < 0                                        ? head
                 : slot_of(download).since_ms < slot_of(head).since_ms ? download
                                                                       : head;
    if (idlest < 0 || loop.now - slot_of(idlest).since_ms < shed_after_ms)
        return -1;
    return idlest;
}

// A connection that gives way while the server is full: closed unanswered,
// as its deadline would close it (a download is reset, which frees what
// the kernel still holds for it).
void shed(loop_state& loop, int fd)
{
    close_held(fd, place_of(fd) == room_place::sending);
    if (time_to_report(loop.shed_reported, loop.now))
        (void)std::fprintf(stderr, "warning: server full: connections that have taken nothing for "
                                   "longest are closed unanswered, the oldest first\n");
}

// Makes room while the server is full: what has taken nothing for longest
// gives way, once it has waited long enough that it is no real client on
// its way.
bool shed_one(loop_state& loop)
{
    int fd = longest_idle(loop);
    if (fd < 0)
        return false;
    shed(loop, fd);
    return true;
}

enum class cause : unsigned char {
    accepted,  // new from the listening socket
    event,     // the connection's watch fired, or a worker handed it back
    due,       // its time has come
};

// Rewatches a connection for what its new place waits for.
void watch_for(int fd, room_place place)
{
    std::uint32_t events = place == room_place::sending ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    if (place != room_place::warming)
        (void)watch_connection(fd, events);
}

// The whole life of a connection in the parent, one step at a time:
// accepted, its head on its way (waiting), ready for a worker, handed back
// by a worker with part of a file to send (sending, or warming while its
// pages come from the disk) or with only the close left (lingering), and
// closed. Each cause moves it on from where it is.
void advance(loop_state& loop, int fd, cause why, std::uint32_t events = 0)
{
    connection_slot& slot = slot_of(fd);
    bool client_done = (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    switch (place_of(fd)) {
    case room_place::none:
        // Just accepted. A connection the kernel hands over with nothing
        // in it has been silent for the whole deferral, the head deadline:
        // it is closed as the deadline would close it.
        switch (look_at_head(fd, false)) {
        case head_state::complete:
            if (can_fork(loop) && first_held(room_place::ready) < 0)
                fork_worker(loop, fd, loop.now);
            else if (!hold_connection(fd, loop.now, room_place::ready))
                ::close(fd);
            return;
        case head_state::silent:
            if (loop.config.defers_accept)
                break;
            [[fallthrough]];
        case head_state::partial:
            // Past the memory for heads on their way, the one that has
            // waited longest gives way, or else this one.
            if (!room_for_head(loop) && !shed_one(loop)) {
                shed(loop, fd);
                return;
            }
            if (hold_connection(fd, loop.now, room_place::waiting)) {
                if (watch_connection(fd, EPOLLIN | EPOLLRDHUP))
                    return;
                let_go(fd);
            }
            break;
        case head_state::gone: break;
        }
        ::close(fd);
        return;

    case room_place::waiting: {
        if (why == cause::due) {
            // At the head deadline what arrived is answered by a worker, as
            // a worker answers any head at its deadline; when none is free
            // the connection is closed instead.
            if (!can_fork(loop)) {
                shed(loop, fd);
                return;
            }
        } else {
            // A connection reset, or closed both ways, can take no answer.
            if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
                close_held(fd);
                return;
            }
            head_state state = look_at_head(fd, client_done);
            if (state == head_state::partial || (state == head_state::silent && !client_done))
                return;
            if (state != head_state::complete) {
                close_held(fd);
                return;
            }
            if (!can_fork(loop) || first_held(room_place::ready) >= 0) {
                // Its place in the line for a worker is its accept.
                long long accepted_ms = slot.since_ms;
                let_go(fd);
                if (!hold_connection(fd, accepted_ms, room_place::ready))
                    ::close(fd);
                return;
            }
        }
        long long accepted_ms = slot.since_ms;
        let_go(fd);
        fork_worker(loop, fd, accepted_ms);
        return;
    }

    case room_place::ready: {
        long long accepted_ms = slot.since_ms;
        let_go(fd);
        fork_worker(loop, fd, accepted_ms);
        return;
    }

    case room_place::sending:
    case room_place::warming: {
        if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
            close_held(fd, true);
            return;
        }
        if (place_of(fd) == room_place::warming && !rest_is_warm(slot)) {
            if (loop.now - slot.since_ms >= write_stall_ms)
                close_held(fd, true);
            else
                move_connection(fd, room_place::warming, slot.since_ms);
            return;
        }
        long long offset = slot.offset;
        send_state state = send_rest(fd, slot);
        long long since = slot.offset > offset ? loop.now : slot.since_ms;
        switch (state) {
        case send_state::blocked:
            // Told when there is room again: the watch stays from the hand-back.
            slot.last_queued = unacknowledged_bytes(fd);
            if (place_of(fd) != room_place::sending || since != slot.since_ms)
                move_connection(fd, room_place::sending, since);
            return;
        case send_state::cold: move_connection(fd, room_place::warming, since); return;
        case send_state::failed: close_held(fd, true); return;
        case send_state::done:
            // The last byte is queued: the lingering close.
            close_file(fd);
            ::shutdown(fd, SHUT_WR);
            move_connection(fd, room_place::lingering, loop.now);
            watch_for(fd, room_place::lingering);
            advance(loop, fd, cause::event);
            return;
        }
        return;
    }

    case room_place::lingering:
        if (why == cause::due || drain_input(fd, slot, loop.now))
            close_held(fd);
        return;
    }
}

// Takes what the workers handed back: each worker that the loop forked
// may hand back once; anything else is refused.
void take_hand_backs(loop_state& loop)
{
    for (int taken = 0; taken < 64; ++taken) {
        hand_back back;
        hand_back_state state = receive_hand_back(loop.config.hand_back_fd, back);
        if (state == hand_back_state::none)
            return;
        bool ours = state == hand_back_state::taken && back.worker != loop.forker &&
                    !mark(handed_back, back.worker, true);
        room_place place = back.file_fd >= 0 ? room_place::sending : room_place::lingering;
        if (ours && hold_connection(back.conn_fd, loop.now, place, back.file_fd)) {
            slot_of(back.conn_fd).offset = back.offset;
            slot_of(back.conn_fd).end = back.end;
            watch_for(back.conn_fd, place);
            advance(loop, back.conn_fd, cause::event, 0);
            continue;
        }
        if (state == hand_back_state::taken) {
            ::close(back.conn_fd);
            if (back.file_fd >= 0)
                ::close(back.file_fd);
        }
        ++loop.refused;
        if (time_to_report(loop.refused_reported, loop.now))
            (void)std::fprintf(stderr,
                               "warning: %ld hand-offs refused: a worker sent what it may not\n",
                               loop.refused);
    }
}

// Accepts what the queue holds, a batch at a time, so that a flood of
// connections that send nothing cannot keep real clients in the queue.
void accept_batch(loop_state& loop)
{
    for (int taken = 0; taken < 64 && stop_signal == 0; ++taken) {
        loop.now = monotonic_ms();
        if (loop.now < loop.pause_until)
            return;
        // A connection is taken while descriptors allow, whatever the memory:
        // one whose head has come goes on to a worker, so that a real
        // client does not wait behind a queue of heads that never end.
        if (waiting_room_full() && !shed_one(loop))
            return;
        // Non-blocking, so that no send or receive of the worker can wait
        // longer than the time limit it is under.
        int fd = ::accept4(loop.config.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            advance(loop, fd, cause::accepted);
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

// Complete heads get their workers in the order they came, while the bound
// and the budget allow; past the budget, what has taken nothing for
// longest gives way to them.
void give_workers(loop_state& loop)
{
    for (int fd; (fd = first_held(room_place::ready)) >= 0;) {
        if (can_fork(loop)) {
            advance(loop, fd, cause::due);
            continue;
        }
        bool short_of_memory_only = loop.running < loop.bound && loop.now >= loop.pause_until;
        if (!short_of_memory_only || !shed_one(loop))
            break;
    }
    if (first_held(room_place::ready) >= 0 && loop.running >= loop.bound &&
        time_to_report(loop.bound_reported, loop.now))
        (void)std::fprintf(stderr,
                           "warning: all %ld workers busy, as many as the %s limit allows; "
                           "new connections wait\n",
                           loop.bound, loop.config.bound_by_processes ? "process" : "memory");
}

// A download whose client takes nothing for the write stall limit is
// dropped. Its socket is writable again only once much of its queue has
// gone, which takes a slow but steady client far longer than the limit; so
// the queue is looked at every slice, and a shorter one is a client that
// reads.
void sweep_downloads(loop_state& loop)
{
    std::size_t count = held_in(room_place::sending);
    for (int fd = first_held(room_place::sending); fd >= 0 && count > 0; --count) {
        int next = next_held(fd);
        connection_slot& slot = slot_of(fd);
        int queued = unacknowledged_bytes(fd);
        if (queued >= 0 && queued < slot.last_queued) {
            slot.last_queued = queued;
            move_connection(fd, room_place::sending, loop.now);
        } else if (loop.now - slot.since_ms >= write_stall_ms) {
            close_held(fd, true);
        }
        fd = next;
    }
    loop.next_sweep = loop.now + stall_check_ms;
}

// Whatever has come due: head deadlines, pages to look at again, closes
// that have lingered long enough, the stall sweep, and free workers.
void settle_due(loop_state& loop)
{
    // A millisecond late rather than early: the clock is read in whole
    // milliseconds, and a deadline is never to come before its time.
    for (int fd; (fd = first_held(room_place::waiting)) >= 0 &&
                 loop.now - slot_of(fd).since_ms > head_deadline_ms;)
        advance(loop, fd, cause::due);
    for (std::size_t count = held_in(room_place::warming); count > 0; --count)
        advance(loop, first_held(room_place::warming), cause::due);
    for (int fd; (fd = first_held(room_place::lingering)) >= 0 &&
                 loop.now - slot_of(fd).since_ms >= drain_time_ms;)
        advance(loop, fd, cause::due);
    if (held_in(room_place::sending) > 0 && loop.now >= loop.next_sweep)
        sweep_downloads(loop);
    give_workers(loop);
}

// Listens while there is room and nothing to wait out; the queue holds the
// rest meanwhile.
void choose_listening(loop_state& loop)
{
    bool listen = stop_signal == 0 && loop.now >= loop.pause_until &&
                  (!waiting_room_full() || longest_idle(loop) >= 0);
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

// Milliseconds until the next thing the loop must do unasked.
int next_timeout(const loop_state& loop)
{
    long long next = LLONG_MAX;
    auto consider = [&](long long at) { next = at < next ? at : next; };
    if (int fd = first_held(room_place::waiting); fd >= 0) {
        consider(slot_of(fd).since_ms + head_deadline_ms + 1);
        consider(slot_of(fd).since_ms + shed_after_ms);
    }
    if (int fd = first_held(room_place::sending); fd >= 0) {
        consider(loop.next_sweep);
        consider(slot_of(fd).since_ms + shed_after_ms);
    }
    if (first_held(room_place::warming) >= 0)
        consider(loop.now + warm_retry_ms);
    if (int fd = first_held(room_place::lingering); fd >= 0)
        consider(slot_of(fd).since_ms + drain_time_ms);
    if (loop.pause_until > loop.now)
        consider(loop.pause_until);
    if (loop.forker < 0)
        consider(loop.forker_retry > loop.now ? loop.forker_retry : loop.now + 10);
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
        // Held connections first: after a stop, a connection handed back
        // may take the number the listening socket had.
        int fd = events[i].data.fd;
        if (place_of(fd) != room_place::none)
            advance(loop, fd, cause::event, events[i].events);
        else if (fd == loop.config.hand_back_fd)
            take_hand_backs(loop);
        else if (fd == loop.config.forker_fd)
            take_forker_reports(loop);
        else if (fd == loop.config.listen_fd && loop.listening && stop_signal == 0)
            accept_batch(loop);
    }
}

}  // namespace

bool prepare_accept_loop()
{
    worker_pids = static_cast<std::uint8_t*>(map_unshared(pid_limit / 8));
    early_exits = static_cast<std::uint8_t*>(map_unshared(pid_limit / 8));
    handed_back = static_cast<std::uint8_t*>(map_unshared(pid_limit / 8));
    return worker_pids != nullptr && early_exits != nullptr && handed_back != nullptr;
}

int accept_loop(const server_config& config)
{
    sigset_t waiting_mask = catch_signals(config.listen_fd);
    memory_gate gate = {config.memory_usage_fd, config.memory_stat_fd, config.memory_v2,
                        config.memory_limit};
    loop_state loop = {config, config.worker_bound > 0 ? config.worker_bound : LONG_MAX,
                       config.memory_budget, gate};
    loop.now = monotonic_ms();
    for (int channel : {config.hand_back_fd, config.forker_fd}) {
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.fd = channel;
        (void)::epoll_ctl(waiting_room_fd(), EPOLL_CTL_ADD, channel, &event);
    }
    loop.forker = start_forker(config);
    // After a stop the connections already taken still get their workers,
    // and the downloads handed back are finished; the loop ends when the
    // last has.
    for (;;) {
        reap_workers(loop);
        if (stop_signal != 0 && waiting_room_held() == 0 && loop.running == 0)
            return 0;
        keep_forker(loop);
        settle_due(loop);
        choose_listening(loop);
        wait_for_events(loop, waiting_mask);
    }
}
