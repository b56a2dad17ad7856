#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "request/request.h"
#include "sandbox/sandbox.h"
#include "server/server.h"

bool parse_port(const char* text, long* port)
{
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

namespace {

// As many connections as the system lets wait for their accept (the kernel
// cuts this to net.core.somaxconn): a burst that overflows the queue is not
// refused but made to wait a second or more for a SYN retransmission.
constexpr int listen_backlog = 65535;

// What a connection may hold in the kernel, unsent, before its worker waits.
constexpr int unsent_limit = 128 * 1024;

void print_usage(std::FILE* stream, const char* program)
{
    (void)std::fprintf(stream, "usage: %s <port> [root-directory]\n", program);
}

// Creates, binds and listens; prints the failing call in perror's form.
int open_listener(long port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Every accepted connection inherits it: a worker is woken to send once
    // little is left unsent, so a slow download holds that much in the
    // kernel rather than megabytes.
    int unsent = unsent_limit;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof unsent);
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
        std::perror("bind");
        ::close(fd);
        return -1;
    }
    if (::listen(fd, listen_backlog) != 0) {
        std::perror("listen");
        ::close(fd);
        return -1;
    }
    return fd;
}

// Why no trial request could finish, for the warning.
void describe_unfinished(const filter_trial& trial, char (&why)[160])
{
    switch (trial.outcome) {
    case filter_trial::killed:
        (void)std::snprintf(why, sizeof why, "a trial request was killed (signal %ld)", trial.detail);
        break;
    case filter_trial::not_started:
        (void)std::snprintf(why, sizeof why, "cannot run a trial request: fork: %s",
                            std::strerror(static_cast<int>(trial.detail)));
        break;
    case filter_trial::refused:
        (void)std::snprintf(why, sizeof why, "it still refused a call after %zu were added",
                            max_added_calls);
        break;
    default:
        (void)std::snprintf(why, sizeof why, "a trial request did not finish within %d s",
                            trial_time_limit_ms / 1000);
        break;
    }
}

// Checks the system-call filter with a whole trial request, and says in one
// line what it could not settle. Calls the trial finds missing are added
// (and named, so that they can be reported); a trial that cannot finish
// leaves the filter as it is. Gives false when the server must not serve:
// serving needs a call that the list kills, or allows only otherwise.
bool check_filter(const server_config& config, filter_check& check)
{
    if (!syscall_filter_built()) {
        check.outcome = filter_check::unavailable;
        return true;
    }
    check = check_syscall_filter(config);
    char name[64];
    char why[160];
    switch (check.outcome) {
    case filter_check::passed:
        break;
    case filter_check::needs_listed:
        (void)name_system_call(check.trial.detail, name, sizeof name);
        (void)std::fprintf(stderr, "error: the system-call filter refuses %s as serving makes it\n", name);
        return false;
    case filter_check::unchecked:
        describe_unfinished(check.trial, why);
        (void)std::fprintf(stderr, "warning: system-call filter enforced but not checked: %s\n", why);
        break;
    case filter_check::unavailable:
        (void)std::fprintf(stderr, "warning: system-call filter not enforced: the kernel refused it\n");
        return true;
    }
    if (check.added_count > 0) {
        (void)std::fprintf(stderr, "warning: system-call filter: added");
        for (std::size_t i = 0; i < check.added_count; ++i) {
            (void)name_system_call(check.added[i], name, sizeof name);
            (void)std::fprintf(stderr, "%s %s", i == 0 ? "" : ",", name);
        }
        (void)std::fprintf(stderr, ", which serving needs and the list lacks (please report)\n");
    }
    return true;
}

}  // namespace

int start_server(int argc, char** argv, server_config& config)
{
    // Whatever the launcher left open (a pipe, a log) would reach every
    // worker; the server keeps only the standard streams. It never reads
    // standard input, and no worker should hold the operator's terminal
    // (Ctrl-C still reaches the server as the terminal's signal).
    (void)::close_range(3, ~0u, 0);
    int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing > 0) {
        (void)::dup2(nothing, STDIN_FILENO);
        ::close(nothing);
    }
    const char* program = argc > 0 ? argv[0] : "quillbarrow";
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        print_usage(stdout, program);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        (void)std::puts("quillbarrow 1.0");
        return 0;
    }
    if (argc < 2 || argc > 3) {
        print_usage(stderr, program);
        return 1;
    }
    if (!parse_port(argv[1], &config.port)) {
        (void)std::fprintf(stderr, "error: invalid port '%s'\n", argv[1]);
        return 1;
    }

    // The root as typed appears only in messages; the canonical form is
    // what every request opens.
    const char* root = argc == 3 ? argv[2] : ".";
    if (::realpath(root, config.root) == nullptr) {
        (void)std::fprintf(stderr, "error: cannot resolve root '%s': %s\n", root, std::strerror(errno));
        return 1;
    }
    struct stat status;
    if (::stat(config.root, &status) != 0 || !S_ISDIR(status.st_mode)) {
        (void)std::fprintf(stderr, "error: '%s' is not a directory\n", root);
        return 1;
    }

    // With SIGPIPE ignored a write to a vanished client fails instead of
    // killing. It cannot fail for this signal.
    (void)std::signal(SIGPIPE, SIG_IGN);

    prepare_oom_score();
    prepare_confinement(config.root);
    config.listen_fd = open_listener(config.port);
    if (config.listen_fd < 0)
        return 1;
    filter_check check;
    if (!check_filter(config, check))
        return 1;
    // With SIGCHLD ignored the kernel reaps finished workers (the trial
    // above still needed their status); where their number is bound, the
    // accept loop reaps and counts them itself.
    config.worker_bound = find_worker_bound();
    (void)std::signal(SIGCHLD, SIG_IGN);

    // Serving goes on even when nobody reads the banner.
    (void)std::printf("quillbarrow serving %s on http://0.0.0.0:%ld/\n", config.root, config.port);
    (void)std::fflush(stdout);
    // From here on the parent only accepts, forks, closes, pauses and
    // reports; the filter is inherited by every worker at no cost per fork.
    if (check.outcome != filter_check::unavailable) {
        filter_changes changes;
        changes.added = std::span<const int>(check.added, check.added_count);
        (void)install_syscall_filter(unlisted_call::refuse, changes);
    }
    return -1;
}
