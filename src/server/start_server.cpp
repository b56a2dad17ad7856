#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
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

// Whether the system-call filter lets a whole request through; when it
// does not, says why in one line, and the server serves without it. A
// filter that refuses what the C library needs would turn every request
// into a quiet 404, and the walk and Landlock confine requests without it.
bool filter_passes_trial(const server_config& config)
{
    if (!syscall_filter_built())
        return false;
    filter_trial trial = try_syscall_filter(config);
    char name[64];
    char why[160];
    switch (trial.outcome) {
    case filter_trial::passed:
        return true;
    case filter_trial::refused:
        (void)name_system_call(trial.detail, name, sizeof name);
        (void)std::snprintf(why, sizeof why, "it refuses %s, which serving needs", name);
        break;
    case filter_trial::killed:
        (void)std::snprintf(why, sizeof why, "it killed a trial request (signal %ld)", trial.detail);
        break;
    case filter_trial::unfinished:
        (void)std::snprintf(why, sizeof why, "a trial request under it did not finish");
        break;
    case filter_trial::not_started:
        (void)std::snprintf(why, sizeof why, "cannot run a trial request: fork: %s",
                            std::strerror(static_cast<int>(trial.detail)));
        break;
    case filter_trial::unavailable:
        (void)std::snprintf(why, sizeof why, "the kernel refused it");
        break;
    }
    (void)std::fprintf(stderr, "warning: system-call filter not enforced: %s\n", why);
    return false;
}

}  // namespace

int start_server(int argc, char** argv, server_config& config)
{
    // Whatever the launcher left open (a pipe, a log) would reach every
    // worker; the server keeps only the standard streams.
    (void)::close_range(3, ~0u, 0);
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

    prepare_confinement(config.root);
    config.listen_fd = open_listener(config.port);
    if (config.listen_fd < 0)
        return 1;
    bool filtered = filter_passes_trial(config);
    // With SIGCHLD ignored the kernel reaps finished workers (the trial
    // above still needed their status).
    (void)std::signal(SIGCHLD, SIG_IGN);

    // Serving goes on even when nobody reads the banner.
    (void)std::printf("quillbarrow serving %s on http://0.0.0.0:%ld/\n", config.root, config.port);
    (void)std::fflush(stdout);
    // From here on the parent only accepts, forks, closes, pauses and
    // reports; the filter is inherited by every worker at no cost per fork.
    if (filtered)
        (void)install_syscall_filter();
    return -1;
}
