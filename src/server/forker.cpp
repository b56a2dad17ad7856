#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"
#include "server/server.h"

// Should memory run out in the server's cgroup all the same, the kernel
// kills the process with the highest out-of-memory score, and a worker
// must be the one, not the parent that holds every connection. A process
// inherits its parent's score; one forked while the parent's score is at
// its highest keeps it. So the parent forks, once, a small process at the
// highest score, and that one forks every worker for it: the parent's own
// score never rises while it serves. The workers are the parent's
// children all the same (CLONE_PARENT): it counts and reaps them, and they
// hand their connections back to it.

namespace {

struct fork_request {
    std::uint64_t sequence;
    std::int64_t accepted_ms;
};

// Closes every descriptor but the standard streams and those of `keep`
// (-1 for none).
template <std::size_t count>
void keep_only(int (&keep)[count])
{
    // In order, so that the gaps between them can be closed.
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t j = i + 1; j < count; ++j)
            if (keep[j] < keep[i]) {
                int swap = keep[i];
                keep[i] = keep[j];
                keep[j] = swap;
            }
    unsigned from = 3;
    for (int fd : keep) {
        if (fd < 0 || static_cast<unsigned>(fd) < from)
            continue;
        if (static_cast<unsigned>(fd) > from)
            (void)::close_range(from, static_cast<unsigned>(fd) - 1, 0);
        from = static_cast<unsigned>(fd) + 1;
    }
    (void)::close_range(from, ~0u, 0);
}

// Reports wait until no request does, or a message is full: under a flood
// the parent reads one message for many forks.
struct report_batch {
    forker_report reports[max_reports_per_message];
    std::size_t count = 0;
};

bool flush_reports(int channel, report_batch& batch)
{
    if (batch.count == 0)
        return true;
    ssize_t sent;
    do
        sent = ::send(channel, batch.reports, batch.count * sizeof(forker_report), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    bool whole = sent == static_cast<ssize_t>(batch.count * sizeof(forker_report));
    batch.count = 0;
    return whole;
}

// The connection of the next request, or -1; ends the process when the
// parent has (its end of the channel is closed). Waits for one only once
// the reports so far are sent.
int receive_request(int channel, fork_request& request, report_batch& batch)
{
    struct iovec data = {&request, sizeof request};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = ::recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!flush_reports(channel, batch))
            ::_exit(0);
        message.msg_controllen = sizeof control;
        got = ::recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
    }
    if (got == 0)
        ::_exit(0);
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    if (got != static_cast<ssize_t>(sizeof request) || rights == nullptr ||
        rights->cmsg_type != SCM_RIGHTS || rights->cmsg_len != CMSG_LEN(sizeof(int)))
        return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(rights), sizeof fd);
    return fd;
}

[[noreturn]] void run_forker(const server_config& config)
{
    // Only what a worker inherits, and its own end of the channel: without
    // the parent's end, the channel ends when the parent does, and so does
    // this process.
    int keep[] = {config.forker_side_fd, prepared_ruleset_fd(), config.hand_off_fd, config.root_fd};
    keep_only(keep);
    // A stop is the parent's to make: this process ends when it has.
    (void)std::signal(SIGTERM, SIG_IGN);
    (void)std::signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
    int channel = config.forker_side_fd;
    static report_batch batch;
    for (;;) {
        fork_request request;
        int fd = receive_request(channel, request, batch);
        if (fd < 0)
            continue;
        // The worker is the parent's child: no fork handlers run, as with
        // _Fork, and it inherits this process's score.
        long worker = ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0);
        if (worker == 0)
            start_worker(fd, config, request.accepted_ms + head_deadline_ms);
        int error = errno;
        ::close(fd);
        batch.reports[batch.count++] = {request.sequence, static_cast<std::int32_t>(worker),
                                        worker < 0 ? error : 0};
        if (batch.count == max_reports_per_message && !flush_reports(channel, batch))
            ::_exit(0);
    }
}

}  // namespace

void start_worker(int conn_fd, const server_config& config, long long head_due_ms)
{
    // The forker's end of the channel, the listening socket, the score's
    // descriptor and what else the parent holds are not the worker's; the
    // prepared ruleset stays until the worker has restricted itself, and
    // the channel to hand the connection back on, and the root where it is
    // held from start-up.
    int keep[] = {conn_fd, prepared_ruleset_fd(), config.hand_off_fd, config.root_fd};
    keep_only(keep);
    set_hand_off_channel(config.hand_off_fd, config.hand_off_at_once);
    // A worker stops as any process does: Ctrl-C in a terminal reaches it
    // too, and a SIGTERM meant for it alone ends it.
    (void)std::signal(SIGTERM, SIG_DFL);
    (void)std::signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
    handle_connection(conn_fd, config, head_due_ms);
}

bool open_forker_channel(server_config& config)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    config.forker_fd = pair[0];
    config.forker_side_fd = pair[1];
    return true;
}

pid_t start_forker(const server_config& config)
{
    raise_oom_score_for_fork();
    pid_t forker = ::_Fork();
    if (forker == 0)
        run_forker(config);
    restore_oom_score();
    return forker;
}

bool request_worker(int forker_fd, int conn_fd, std::uint64_t sequence, long long accepted_ms)
{
    fork_request request = {sequence, accepted_ms};
    struct iovec data = {&request, sizeof request};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &conn_fd, sizeof conn_fd);
    ssize_t sent;
    do
        sent = ::sendmsg(forker_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof request);
}

std::size_t receive_reports(int forker_fd, forker_report (&reports)[max_reports_per_message])
{
    ssize_t got;
    do
        got = ::recv(forker_fd, reports, sizeof reports, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    return got > 0 ? static_cast<std::size_t>(got) / sizeof(forker_report) : 0;
}
