#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "common/unique_fd.h"
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
// What it may hold received (the kernel doubles it for its bookkeeping).
constexpr int received_limit = 16 * 1024;

void print_usage(std::FILE* stream, const char* program)
{
    (void)std::fprintf(stream, "usage: %s <port> [root-directory]\n", program);
}

// Creates, binds and listens, non-blocking, so that the loop takes what
// the queue holds and then waits; prints the failing call in perror's
// form. `defers` tells whether the kernel keeps a connection back until
// its first bytes arrive.
int open_listener(long port, bool& defers)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    // What a connection may hold received and unread: a whole head, and no
    // more. The parent only looks at a head while it arrives, and a head
    // sent in small pieces would otherwise take several times its size in
    // the kernel's buffers; past this the kernel packs them together.
    int received = received_limit;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &received, sizeof received);
    // A connection that sends nothing is kept by the kernel, out of the
    // queue, for as long as the head may take; one handed over with nothing
    // in it after that has been silent for the whole head deadline.
    int defer_s = (head_deadline_ms + 999) / 1000;
    defers = ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer_s, sizeof defer_s) == 0;
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

// The fewest open files the server starts with: its own dozen, the start-up
// trial's, and room for connections.
constexpr std::size_t least_descriptors = 32;

// As many open files as the process may have: the soft limit raised to the
// hard one. Gives how many, at most 2^20.
std::size_t raise_descriptor_limit()
{
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0)
        return least_descriptors;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &files);
        (void)::getrlimit(RLIMIT_NOFILE, &files);
    }
    constexpr rlim_t most = rlim_t{1} << 20;
    return static_cast<std::size_t>(files.rlim_cur < most ? files.rlim_cur : most);
}

// A connection waits for its head in the parent: as many as the files
// the process may open allow, and the memory.
bool size_the_server(server_config& config, std::size_t descriptors)
{
    cgroup_limits limits = find_cgroup_limits();
    config.worker_bound = derive_worker_bound(limits, &config.bound_by_processes);
    config.memory_budget = derive_memory_budget(limits);
    open_memory_gate(config, limits);
    return open_waiting_room(derive_room_capacity(descriptors), descriptors) &&
           prepare_accept_loop();
}

// Started as root, workers serve as nobody: say at once when nobody could
// not reach a single file.
void check_nobody_can_search(const char* root)
{
    struct stat status;
    if (!started_as_root() || ::stat(root, &status) != 0 || nobody_can_search(status))
        return;
    (void)std::fprintf(stderr,
                       "warning: every file will be 404: workers run as user %u, which may not "
                       "enter %s (mode %04o, owner %u, group %u)\n",
                       nobody_id, root, static_cast<unsigned>(status.st_mode & 07777),
                       static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_gid));
}

// Whether nobody may pass through every directory above `root`.
bool nobody_can_reach(const char* root)
{
    char above[root_buffer_size];
    for (std::size_t i = 1; root[i] != '\0'; ++i) {
        if (root[i] != '/')
            continue;
        std::memcpy(above, root, i);
        above[i] = '\0';
        struct stat status;
        if (::stat(above, &status) != 0 || !nobody_can_search(status))
            return false;
    }
    struct stat top;
    return ::stat("/", &top) == 0 && nobody_can_search(top);
}

// Started as root, a root that nobody could not reach by its path (a
// checkout below a home directory only its owner may enter) is opened now,
// while the server may, and every worker serves the directory that was
// there at start-up. Any other root is opened afresh by every worker, as
// nobody, so that a root replaced after start-up is served at once, and
// one swapped for a link to where nobody may not go serves nothing.
void hold_root_if_unreachable(server_config& config)
{
    if (started_as_root() && !nobody_can_reach(config.root))
        config.root_fd = ::open(config.root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// What the parent, and so every worker, may read once it is confined: the
// directory that holds the root, so that a root replaced by renaming
// another directory over it is served at once; the root itself when it is
// held from start-up, or directly below "/", where the directory that holds
// it would be the whole machine.
int open_confinement_holder(const server_config& config)
{
    if (config.root_fd >= 0)
        return ::dup(config.root_fd);
    const char* slash = std::strrchr(config.root, '/');
    if (slash == nullptr || slash == config.root)
        return ::open(config.root, O_PATH | O_DIRECTORY | O_CLOEXEC);
    char holder[root_buffer_size];
    auto length = static_cast<std::size_t>(slash - config.root);
    std::memcpy(holder, config.root, length);
    holder[length] = '\0';
    return ::open(holder, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

namespace {

// Whatever the launcher left open (a pipe, a log) would reach every worker;
// the server keeps only the standard streams. It never reads standard
// input, and no worker should hold the operator's terminal (Ctrl-C still
// reaches the server as the terminal's signal).
void close_inherited_descriptors()
{
    (void)::close_range(3, ~0u, 0);
    int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nothing > 0) {
        (void)::dup2(nothing, STDIN_FILENO);
        ::close(nothing);
    }
}

// The port and the canonical root from the command line. Gives -1 when
// the server should go on, or else the exit status (messages printed).
int read_command_line(int argc, char** argv, server_config& config)
{
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
        (void)std::fprintf(stderr, "error: cannot resolve root '%s': %s\n", root,
                           std::strerror(errno));
        return 1;
    }
    struct stat status;
    if (::stat(config.root, &status) != 0 || !S_ISDIR(status.st_mode)) {
        (void)std::fprintf(stderr, "error: '%s' is not a directory\n", root);
        return 1;
    }
    return -1;
}

}  // namespace

int start_server(int argc, char** argv, server_config& config)
{
    close_inherited_descriptors();
    if (int status = read_command_line(argc, argv, config); status >= 0)
        return status;
    std::size_t descriptors = raise_descriptor_limit();
    if (descriptors < least_descriptors) {
        (void)std::fprintf(stderr,
                           "error: too few descriptors: at most %zu open files, and serving needs "
                           "%zu\n",
                           descriptors, least_descriptors);
        return 1;
    }
    // With SIGPIPE ignored a write to a vanished client fails instead of
    // killing. It cannot fail for this signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    note_identity();
    if (started_as_root_without_nobody())
        (void)std::fprintf(stderr,
                           "warning: user %u does not exist in this user namespace: serving as "
                           "user 0 of the namespace, with no capability\n",
                           nobody_id);
    check_nobody_can_search(config.root);
    hold_root_if_unreachable(config);
    // Workers whose forker has ended come to the parent, which counts and
    // reaps them; they would otherwise go to init uncounted.
    (void)::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    prepare_oom_score();
    prepare_confinement(config.root);
    config.listen_fd = open_listener(config.port, config.defers_accept);
    if (config.listen_fd < 0)
        return 1;
    if (!open_hand_off_channel(config) || !open_forker_channel(config)) {
        std::perror("socketpair");
        return 1;
    }
    filter_check check;
    if (!settle_syscall_filter(config, check))
        return 1;
    if (!size_the_server(config, descriptors)) {
        std::perror("error: cannot prepare the waiting room");
        return 1;
    }
    // The parent looks at what clients send, so it gives up root and every
    // capability too, and from here on opens nothing: it may read only
    // what its workers serve.
    unique_fd holder(open_confinement_holder(config));
    if (const char* failed = leave_root_in_parent()) {
        (void)std::fprintf(stderr, "error: cannot switch to user %u: %s: %s\n", nobody_id, failed,
                           std::strerror(errno));
        return 1;
    }
    if (landlock_enforced() && (!holder.valid() || !confine_parent(holder.get()))) {
        std::perror("error: cannot confine the server: landlock_restrict_self");
        return 1;
    }
    holder.reset();
    // Serving goes on even when nobody reads the banner.
    (void)std::printf("quillbarrow serving %s on http://0.0.0.0:%ld/\n", config.root, config.port);
    (void)std::fflush(stdout);
    // From here on the parent only accepts, looks, forks, closes, pauses
    // and reports; the filter is inherited by every worker at no cost per
    // fork.
    if (check.outcome != filter_check::unavailable)
        (void)install_syscall_filter(check.list);
    return -1;
}
