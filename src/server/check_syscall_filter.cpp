#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/text_scan.h"
#include "common/time_limits.h"
#include "common/unique_fd.h"
#include "sandbox/sandbox.h"
#include "server/server.h"

// A C library or kernel newer than the list makes calls the list does not
// know, and under the filter they fail with EPERM: every request would end
// in a quiet 404. So before serving, the server makes a whole request's
// calls under the filter once, in a process of its own, with each call the
// filter would refuse or kill held by the kernel for the parent to name,
// and allows what it finds missing. Only the kernel names a call: where it
// cannot hold one, the filter goes on unchecked.

namespace {

// How a trial request under the system-call filter went.
struct filter_trial {
    enum : unsigned char {
        passed,
        refused,
        killed,
        unfinished,
        cannot_hold,
        unavailable,
        not_started,
        unprepared
    } outcome = passed;
    long detail = 0;  // the refused call's number, the killing signal, or the failure's errno
};

// How long a trial may take; a request is answered in milliseconds.
constexpr int trial_time_limit_ms = 10000;

// How long a killed trial may take to end: one stuck in the kernel (a file
// system that never answers) cannot end until it is answered.
constexpr int trial_end_wait_ms = 500;
constexpr std::size_t trial_read_limit = std::size_t{256} * 1024;

// How the trial process ends when it is not killed.
constexpr int trial_setup_status = 1;     // the listener could not be handed over
constexpr int fork_failed_status = 64;    // and the errno of the failed fork
constexpr int client_failed_status = 99;  // the client got no answer
constexpr int unprepared_status = 160;    // and the errno of a socket, pipe or table
constexpr int cannot_hold_status = 97;    // the filter loads, but calls cannot be held
constexpr int no_filter_status = 98;      // the kernel refuses the filter

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

// A listening socket of the trial's own on the loopback address, made
// before the filter (which kills a process that makes sockets); gives its
// port, or 0.
int open_trial_listener(server_config& trial)
{
    trial.listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (trial.listen_fd < 0 ||
        ::bind(trial.listen_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) !=
            0 ||
        ::listen(trial.listen_fd, 8) != 0 ||
        ::getsockname(trial.listen_fd, reinterpret_cast<struct sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// Sends `request` on a new connection to `port` and reads the answer to
// its end: true when it is an HTTP response.
bool exchange(int port, const char* request, long long deadline)
{
    unique_fd conn(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::size_t length = text_length(request);
    if (!conn.valid() ||
        ::connect(conn.get(), reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        ::write(conn.get(), request, length) != static_cast<ssize_t>(length))
        return false;
    char first[16] = {};
    std::size_t received = 0;
    // Enough to have seen the header and the first sends of the body; a
    // large file is cut there, which the server survives as it survives
    // any client that leaves.
    for (std::size_t total = 0; total < trial_read_limit;) {
        long long left = deadline - monotonic_ms();
        struct pollfd p = {conn.get(), POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char sink[4096];
        ssize_t got = ::read(conn.get(), sink, sizeof sink);
        if (got <= 0)
            break;
        total += static_cast<std::size_t>(got);
        for (ssize_t i = 0; i < got && received < sizeof first - 1; ++i)
            first[received++] = sink[i];
    }
    return std::strncmp(first, "HTTP/1.1 ", 9) == 0;
}

// The trial's client, a process of its own that the filter does not bind:
// the root's page with a stray byte after the head (so that the worker
// hands the lingering close back), then a file (whose body the worker
// hands back right after the header). Then it stops the trial's loop, and
// says on `result` how it went.
[[noreturn]] void run_trial_client(int port, const char* file, int result)
{
    long long deadline = monotonic_ms() + trial_time_limit_ms;
    char request[512];
    bool answered = exchange(port, "GET / HTTP/1.1\r\nHost: trial\r\n\r\nX", deadline);
    if (answered && file != nullptr) {
        (void)std::snprintf(request, sizeof request, "GET /%s HTTP/1.1\r\nHost: trial\r\n\r\n",
                            file);
        answered = exchange(port, request, deadline);
    }
    char outcome = answered ? 0 : 1;
    (void)!::write(result, &outcome, 1);
    (void)::kill(::getppid(), SIGTERM);
    ::_exit(0);
}

// One byte with a descriptor attached (SCM_RIGHTS), to send or to receive.
struct descriptor_message {
    char byte = 0;
    struct iovec data = {&byte, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr header = {};

    descriptor_message()
    {
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
    }
    descriptor_message(const descriptor_message&) = delete;
    descriptor_message& operator=(const descriptor_message&) = delete;
};

bool send_descriptor(int channel, int fd)
{
    descriptor_message message;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message.header);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    return ::sendmsg(channel, &message.header, 0) == 1;
}

// The descriptor sent on `channel` before `deadline`, or -1.
int receive_descriptor(int channel, long long deadline)
{
    long long left = deadline - monotonic_ms();
    struct pollfd p = {channel, POLLIN, 0};
    descriptor_message message;
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0 ||
        ::recvmsg(channel, &message.header, MSG_CMSG_CLOEXEC) != 1)
        return -1;
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message.header);
    if (rights == nullptr || rights->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(rights), sizeof fd);
    return fd;
}

// The trial serves as the server does, under `list`: its own loop, with a
// waiting room, workers and the hand-off channel of its own, answers a
// client of its own. Ends with 0 when the client got its answers.
[[noreturn]] void run_trial(const server_config& config, filter_list list, int channel)
{
    // A group of its own, so that the parent can end the trial's worker too.
    (void)::setpgid(0, 0);
    char file[256] = {};
    bool has_file = find_plain_file(config.root, file);
    static server_config trial;
    trial = config;
    trial.hand_off_at_once = true;
    trial.defers_accept = false;
    trial.worker_bound = 0;
    trial.memory_budget = 0;
    trial.memory_limit = 0;
    int port = open_trial_listener(trial);
    int result[2];
    if (port == 0 || !open_hand_off_channel(trial) || !open_forker_channel(trial) ||
        ::pipe2(result, O_CLOEXEC) != 0 || !open_waiting_room(256, 1024) || !prepare_accept_loop())
        ::_exit(unprepared_status + (errno < 32 ? errno : 0));
    // The trial's workers take the parent's score as it is.
    forget_oom_score();
    pid_t client = ::fork();
    if (client == 0)
        run_trial_client(port, has_file ? file : nullptr, result[1]);
    ::close(result[1]);
    if (client < 0)
        ::_exit(fork_failed_status + (errno < 32 ? errno : 0));
    // The trial hands the parent its listener with sendmsg, before the
    // parent can name a call it holds: allowed whatever the list says.
    (void)set_call_rule(list, SYS_sendmsg, filter_rule::allow);
    int listener = install_supervised_filter(list);
    if (listener < 0)
        ::_exit(install_syscall_filter(list) ? cannot_hold_status : no_filter_status);
    bool handed = send_descriptor(channel, listener);
    ::close(listener);
    ::close(channel);
    if (!handed)
        ::_exit(trial_setup_status);
    (void)accept_loop(trial);
    char outcome = 1;
    ::_exit(::read(result[0], &outcome, 1) == 1 && outcome == 0 ? 0 : client_failed_status);
}

// Reaps the trial, waiting a moment at most. A trial that cannot end (stuck
// in the kernel, on a file system that does not answer) is left to end
// when it can, with SIGKILL pending, and is reaped with the workers.
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

// Ends and reaps what is left of the trial's group once the trial itself is
// reaped: its forker, a worker or its client, which came to this process
// (it reaps orphans) when the trial ended. Left, they would be reaped
// later and taken for the server's workers. One stuck in the kernel is
// left, with SIGKILL pending, as the trial would be.
void reap_trial_group(pid_t group)
{
    bool killed = false;
    for (long long deadline = monotonic_ms() + trial_end_wait_ms;;) {
        pid_t reaped = ::waitpid(-group, nullptr, WNOHANG);
        if (reaped > 0 || (reaped < 0 && errno == EINTR))
            continue;
        if (reaped < 0 || monotonic_ms() >= deadline)
            return;
        // A member still lives, so the group's number is still its own.
        if (!killed)
            killed = ::kill(-group, SIGKILL) == 0;
        struct timespec pause = {0, 10L * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

// Watches the trial until it ends, a call is held, or the deadline passes.
// Gives the held call's number, or -1; `ended` says whether it ended.
long watch_trial(pid_t trial, int channel, bool& ended, int& status)
{
    long long deadline = monotonic_ms() + trial_time_limit_ms;
    unique_fd listener(receive_descriptor(channel, deadline));
    for (ended = false; !ended;) {
        long long left = deadline - monotonic_ms();
        if (left <= 0)
            return -1;
        // A kernel before 5.8 never says that no process is left under the
        // filter, so the trial's end is looked for as well.
        struct pollfd p = {listener.get(), POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
        if (ready > 0 && (p.revents & POLLIN) != 0) {
            long held = refuse_held_call(listener.get());
            if (held >= 0)
                return held;
        }
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            listener.reset();
        ended = ::waitpid(trial, &status, WNOHANG) == trial;
    }
    return -1;
}

filter_trial outcome_of(long held, bool ended, int status)
{
    if (held >= 0)
        return {filter_trial::refused, held};
    if (!ended)
        return {filter_trial::unfinished, 0};
    if (WIFSIGNALED(status))
        return {filter_trial::killed, WTERMSIG(status)};
    int code = WEXITSTATUS(status);
    switch (code) {
    case 0: return {filter_trial::passed, 0};
    case cannot_hold_status: return {filter_trial::cannot_hold, 0};
    case no_filter_status: return {filter_trial::unavailable, 0};
    default: break;
    }
    if (code >= fork_failed_status && code < fork_failed_status + 32)
        return {filter_trial::not_started, code - fork_failed_status};
    if (code >= unprepared_status && code < unprepared_status + 32)
        return {filter_trial::unprepared, code - unprepared_status};
    return {filter_trial::unfinished, 0};
}

// Serves whole requests as the server does, in a process of its own under
// `list`; waits at most trial_time_limit_ms (and a moment for the trial to
// end once it is killed).
filter_trial try_syscall_filter(const server_config& config, const filter_list& list)
{
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0)
        return {filter_trial::unprepared, errno};
    unique_fd ours(channel[0]);
    unique_fd theirs(channel[1]);
    pid_t trial = ::fork();
    if (trial == 0) {
        ours.reset();
        run_trial(config, list, theirs.release());
    }
    int fork_error = errno;
    theirs.reset();
    if (trial < 0)
        return {filter_trial::not_started, fork_error};
    // Here too, so that the group exists whichever process runs first.
    (void)::setpgid(trial, trial);
    bool ended = false;
    int status = 0;
    long held = watch_trial(trial, ours.get(), ended, status);
    bool reaped = ended;
    if (!ended) {
        (void)::kill(-trial, SIGKILL);
        (void)::kill(trial, SIGKILL);
        reaped = reap_trial(trial, status);
    }
    if (reaped)
        reap_trial_group(trial);
    return outcome_of(held, ended, status);
}

// Why no trial request could settle the list, for the warning.
void describe_unchecked(const filter_trial& trial, char (&why)[sizeof filter_check::reason])
{
    switch (trial.outcome) {
    case filter_trial::killed:
        (void)std::snprintf(why, sizeof why, "a trial request was killed (signal %ld)",
                            trial.detail);
        break;
    case filter_trial::not_started:
        (void)std::snprintf(why, sizeof why, "cannot run a trial request: fork: %s",
                            std::strerror(static_cast<int>(trial.detail)));
        break;
    case filter_trial::unprepared:
        (void)std::snprintf(why, sizeof why, "cannot run a trial request: %s",
                            trial.detail == EMFILE ? "too few descriptors"
                                                   : std::strerror(static_cast<int>(trial.detail)));
        break;
    case filter_trial::refused:
        (void)std::snprintf(why, sizeof why, "it still refused a call after %zu were added",
                            max_added_calls);
        break;
    case filter_trial::cannot_hold:
        (void)std::snprintf(
            why, sizeof why,
            "the kernel cannot hold a call for the check (seccomp user notification)");
        break;
    default:
        (void)std::snprintf(why, sizeof why, "a trial request did not finish within %d s",
                            trial_time_limit_ms / 1000);
        break;
    }
}

}  // namespace

filter_check check_syscall_filter(const server_config& config, const filter_list& base)
{
    filter_check check;
    check.list = base;
    for (;;) {
        filter_trial trial = try_syscall_filter(config, check.list);
        switch (trial.outcome) {
        case filter_trial::passed: check.outcome = filter_check::passed; return check;
        case filter_trial::unavailable: check.outcome = filter_check::unavailable; return check;
        case filter_trial::refused: break;
        default:
            check.outcome = filter_check::unchecked;
            describe_unchecked(trial, check.reason);
            return check;
        }
        // A call the list names was refused for what it is or for its
        // arguments, or is one that must never be allowed: the list itself
        // is wrong, and allowing the call whole would undo the rule.
        auto call = static_cast<int>(trial.detail);
        check.call = call;
        if (lists_call(check.list, call)) {
            check.outcome = filter_check::needs_listed;
            return check;
        }
        if (check.added_count == max_added_calls ||
            !set_call_rule(check.list, call, filter_rule::allow)) {
            check.outcome = filter_check::unchecked;
            describe_unchecked(trial, check.reason);
            return check;
        }
        check.added[check.added_count++] = call;
    }
}

namespace {

void report_added(const filter_check& check)
{
    if (check.added_count == 0)
        return;
    char name[64];
    (void)std::fprintf(stderr, "warning: system-call filter: added");
    for (std::size_t i = 0; i < check.added_count; ++i) {
        (void)name_system_call(check.added[i], name, sizeof name);
        (void)std::fprintf(stderr, "%s %s", i == 0 ? "" : ",", name);
    }
    (void)std::fprintf(stderr, ", which serving needs and the list lacks (please report)\n");
}

}  // namespace

bool settle_syscall_filter(const server_config& config, filter_check& check)
{
    if (!syscall_filter_built()) {
        check.outcome = filter_check::unavailable;
        return true;
    }
    check = check_syscall_filter(config, server_filter_list());
    char text[160];
    switch (check.outcome) {
    case filter_check::passed: break;
    case filter_check::needs_listed:
        (void)name_system_call(check.call, text, sizeof text);
        (void)std::fprintf(stderr, "error: the system-call filter refuses %s as serving makes it\n",
                           text);
        return false;
    case filter_check::unchecked:
        (void)std::fprintf(stderr, "warning: system-call filter enforced but not checked: %s\n",
                           check.reason);
        break;
    case filter_check::unavailable:
        (void)std::fprintf(stderr,
                           "warning: system-call filter not enforced: the kernel refused it\n");
        return true;
    }
    report_added(check);
    return true;
}
