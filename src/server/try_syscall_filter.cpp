#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/text_scan.h"
#include "common/time_limits.h"
#include "sandbox/sandbox.h"
#include "server/server.h"

// A C library or kernel newer than the list makes calls the list does not
// know, and under the filter they fail with EPERM: every request would end
// in a quiet 404. So before serving, the server makes a whole request's
// calls under the filter once, in a process of its own, with each unknown
// call raising SIGSYS instead, and allows what it finds missing.

namespace {

// How long a killed trial may take to end: one stuck in the kernel (a file
// system that never answers) cannot end until it is answered.
constexpr int trial_end_wait_ms = 500;
constexpr std::size_t trial_read_limit = std::size_t{256} * 1024;
constexpr int trapped_status = 99;
constexpr int no_filter_status = 98;

int report_fd = -1;

// What went wrong goes to the parent as one number, and the trial ends:
// the number of the first call off the list, or the negated signal that
// killed a worker (a call on the kill list).
[[noreturn]] void report_and_end(int number)
{
    (void)!::write(report_fd, &number, sizeof number);
    ::_exit(trapped_status);
}

void report_trapped_call(int, siginfo_t* info, void*)
{
    report_and_end(info->si_syscall);
}

// A name that needs no encoding, of a regular file directly in the root, so
// that the trial sends a file as well as the root's page.
bool find_plain_file(const char* root, char (&name)[256])
{
    DIR* dir = ::opendir(root);
    if (dir == nullptr)
        return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type != DT_REG || entry->d_name[0] == '.')
            continue;
        found = true;
        for (const char* c = entry->d_name; *c != '\0' && found; ++c)
            found = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                    (*c >= '0' && *c <= '9') || *c == '.' || *c == '-' || *c == '_';
        if (found) {
            std::size_t length = text_length(entry->d_name);
            for (std::size_t i = 0; i <= length; ++i)
                name[i] = entry->d_name[i];
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// A connection with one request waiting in it, made before the filter
// (which kills a process that makes sockets).
bool prepare_connection(const char* target, int (&pair)[2])
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    char request[512];
    int length = std::snprintf(request, sizeof request, "GET /%s HTTP/1.1\r\nHost: trial\r\n\r\n", target);
    return ::write(pair[1], request, static_cast<std::size_t>(length)) == length;
}

// Forks a worker for the connection, as the accept loop does, and reads
// its whole answer as a client would.
void serve_one(const server_config& config, int (&pair)[2])
{
    pid_t worker = ::fork();
    if (worker == 0) {
        ::close(pair[1]);
        start_worker(pair[0], config);
    }
    ::close(pair[0]);
    if (worker < 0)
        ::_exit(1);
    // Enough to have seen the header and the first sends of the body; a
    // large file or page is cut there, which the worker survives as it
    // survives any client that leaves.
    char sink[4096];
    std::size_t received = 0;
    for (ssize_t got; received < trial_read_limit && (got = ::read(pair[1], sink, sizeof sink)) > 0;)
        received += static_cast<std::size_t>(got);
    ::close(pair[1]);
    int status = 0;
    if (::waitpid(worker, &status, 0) == worker && WIFSIGNALED(status))
        report_and_end(-WTERMSIG(status));
}

// Gives `listener` to the parent over `channel`.
bool hand_over(int channel, int listener)
{
    char byte = 0;
    struct iovec data = {&byte, 1};
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
    std::memcpy(CMSG_DATA(rights), &listener, sizeof listener);
    return ::sendmsg(channel, &message, 0) == 1;
}

// The listener the trial hands over, or -1 when it hands none (it traps
// instead) or does not within the deadline.
int take_over(int channel, long long deadline)
{
    long long left = deadline - monotonic_ms();
    struct pollfd p = {channel, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
        return -1;
    char byte = 0;
    struct iovec data = {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(channel, &message, MSG_CMSG_CLOEXEC) != 1)
        return -1;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    if (rights == nullptr || rights->cmsg_type != SCM_RIGHTS)
        return -1;
    int listener = -1;
    std::memcpy(&listener, CMSG_DATA(rights), sizeof listener);
    return listener;
}

[[noreturn]] void run_trial(const server_config& config, const filter_changes& changes, int report,
                            int channel)
{
    // A group of its own, so that the parent can end the trial's worker too.
    (void)::setpgid(0, 0);
    report_fd = report;
    char file[256] = {};
    bool has_file = find_plain_file(config.root, file);
    int root_page[2];
    int file_page[2];
    if (!prepare_connection("", root_page) || (has_file && !prepare_connection(file, file_page)))
        ::_exit(1);
    // Every call the filter would refuse or kill is held for the parent,
    // which reads its number; where the kernel cannot hold calls, it traps,
    // and this process reports it.
    int listener = install_supervised_filter(changes);
    if (listener >= 0) {
        bool handed = hand_over(channel, listener);
        ::close(listener);
        if (!handed)
            ::_exit(1);
    } else {
        struct sigaction action = {};
        action.sa_sigaction = report_trapped_call;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        (void)::sigaction(SIGSYS, &action, nullptr);
        if (!install_syscall_filter(unlisted_call::trap, changes))
            ::_exit(no_filter_status);
    }
    ::close(channel);
    serve_one(config, root_page);
    if (has_file)
        serve_one(config, file_page);
    ::_exit(0);
}

// Reaps the trial, waiting a moment at most. A trial that cannot end (stuck
// in the kernel, on a file system that does not answer) is left to end
// when it can, with SIGKILL pending; whatever the parent does with SIGCHLD
// then reaps it.
bool reap_trial(pid_t trial, int& status)
{
    for (long long deadline = monotonic_ms() + trial_end_wait_ms;;) {
        pid_t reaped = ::waitpid(trial, &status, WNOHANG);
        if (reaped == trial)
            return true;
        if ((reaped < 0 && errno != EINTR) || monotonic_ms() >= deadline)
            return false;
        struct timespec pause = {0, 10L * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

filter_trial try_syscall_filter(const server_config& config, const filter_changes& changes)
{
    filter_trial result;
    int report[2];
    int channel[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        result.outcome = filter_trial::not_started;
        result.detail = errno;
        return result;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        result.outcome = filter_trial::not_started;
        result.detail = errno;
        ::close(report[0]);
        ::close(report[1]);
        return result;
    }
    pid_t trial = ::fork();
    if (trial == 0) {
        ::close(report[0]);
        ::close(channel[0]);
        run_trial(config, changes, report[1], channel[1]);
    }
    int fork_error = errno;
    ::close(report[1]);
    ::close(channel[1]);
    if (trial < 0) {
        ::close(report[0]);
        ::close(channel[0]);
        result.outcome = filter_trial::not_started;
        result.detail = fork_error;
        return result;
    }

    // A call held for this process, the trial's report, or the end of the
    // pipe once the trial and its workers have all ended.
    long long deadline = monotonic_ms() + trial_time_limit_ms;
    int listener = take_over(channel[0], deadline);
    ::close(channel[0]);
    int number = 0;
    std::size_t got = 0;
    bool ended = false;
    while (!ended && got < sizeof number) {
        long long left = deadline - monotonic_ms();
        struct pollfd p[2] = {{report[0], POLLIN, 0}, {listener, POLLIN, 0}};
        if (left <= 0 || (::poll(p, 2, static_cast<int>(left)) <= 0 && errno != EINTR))
            break;
        if ((p[1].revents & POLLIN) != 0) {
            long held = refuse_held_call(listener);
            if (held >= 0) {
                number = static_cast<int>(held);
                got = sizeof number;
                break;
            }
        }
        // No process is left under the filter: the pipe's end follows.
        if ((p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            ::close(listener);
            listener = -1;
        }
        if ((p[0].revents & (POLLIN | POLLHUP)) == 0)
            continue;
        ssize_t n = ::read(report[0], reinterpret_cast<char*>(&number) + got, sizeof number - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        ended = n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
    }
    ::close(report[0]);
    if (listener >= 0)
        ::close(listener);
    if (!ended)
        (void)::kill(-trial, SIGKILL);
    int status = 0;
    bool reaped = reap_trial(trial, status);

    if (got == sizeof number) {
        result.outcome = number >= 0 ? filter_trial::refused : filter_trial::killed;
        result.detail = number >= 0 ? number : -number;
    } else if (ended && reaped && WIFSIGNALED(status)) {
        result.outcome = filter_trial::killed;
        result.detail = WTERMSIG(status);
    } else if (ended && reaped && WIFEXITED(status) && WEXITSTATUS(status) == no_filter_status) {
        result.outcome = filter_trial::unavailable;
    } else if (!ended || !reaped || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        result.outcome = filter_trial::unfinished;
    }
    return result;
}

namespace {

bool names_call(std::span<const int> calls, long call)
{
    for (int listed : calls)
        if (listed == call)
            return true;
    return false;
}

}  // namespace

filter_check check_syscall_filter(const server_config& config, const filter_changes& base)
{
    filter_check check;
    for (;;) {
        filter_changes changes = base;
        changes.added = std::span<const int>(check.added, check.added_count);
        check.trial = try_syscall_filter(config, changes);
        switch (check.trial.outcome) {
        case filter_trial::passed:
            check.outcome = filter_check::passed;
            return check;
        case filter_trial::unavailable:
            check.outcome = filter_check::unavailable;
            return check;
        case filter_trial::refused:
            break;
        default:
            check.outcome = filter_check::unchecked;
            return check;
        }
        // A call the list names was refused for what it is or for its
        // arguments: the list itself is wrong, and allowing the call
        // whole would undo the rule.
        long call = check.trial.detail;
        syscall_listing entry = list_entry_of(call);
        if (names_call(base.killed, call) ||
            (entry != syscall_listing::unlisted && !names_call(base.left_out, call))) {
            check.outcome = filter_check::needs_listed;
            return check;
        }
        if (check.added_count == max_added_calls || names_call(changes.added, call)) {
            check.outcome = filter_check::unchecked;
            return check;
        }
        check.added[check.added_count++] = static_cast<int>(call);
    }
}
