#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/unique_fd.h"
#include "sandbox/sandbox.h"

// The kernel interface, spelled out here so that the build does not depend
// on how new the installed kernel headers are.
namespace {

constexpr unsigned create_ruleset_version = 1u << 0;
constexpr int rule_path_beneath = 1;

constexpr std::uint64_t fs_read_file = 1ull << 2;
constexpr std::uint64_t fs_read_dir = 1ull << 3;
constexpr std::uint64_t fs_rights_abi1 = (1ull << 13) - 1;       // execute .. make_sym
constexpr std::uint64_t fs_refer = 1ull << 13;                   // ABI 2
constexpr std::uint64_t fs_truncate = 1ull << 14;                // ABI 3
constexpr std::uint64_t fs_ioctl_dev = 1ull << 15;               // ABI 5
constexpr std::uint64_t net_bind_tcp = 1ull << 0;                // ABI 4
constexpr std::uint64_t net_connect_tcp = 1ull << 1;             // ABI 4
constexpr std::uint64_t scope_abstract_unix_socket = 1ull << 0;  // ABI 6
constexpr std::uint64_t scope_signal = 1ull << 1;                // ABI 6

struct ruleset_attr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};

struct __attribute__((packed)) path_beneath_attr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};

long probed_abi = 0;  // 0: not asked yet; below 0: no Landlock

// Made by the parent for the root as it was at start-up; inherited.
int prepared_ruleset = -1;
dev_t prepared_device = 0;
ino_t prepared_inode = 0;

long landlock_abi()
{
    if (probed_abi == 0) {
        probed_abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, create_ruleset_version);
        if (probed_abi == 0)
            probed_abi = -1;
    }
    return probed_abi;
}

// Of all the rights the running kernel knows, only reading files and
// directories beneath `root_fd` stays; where the kernel can, TCP bind and
// connect, abstract UNIX sockets and signals outside the process go too.
// With no `root_fd` (-1), no file at all can be opened. Gives the
// ruleset's descriptor, or -1.
int build_ruleset(int root_fd, long abi)
{
    ruleset_attr attr = {fs_rights_abi1, 0, 0};
    std::size_t attr_size = sizeof attr.handled_access_fs;
    if (abi >= 2)
        attr.handled_access_fs |= fs_refer;
    if (abi >= 3)
        attr.handled_access_fs |= fs_truncate;
    if (abi >= 4) {
        attr.handled_access_net = net_bind_tcp | net_connect_tcp;
        attr_size += sizeof attr.handled_access_net;
    }
    if (abi >= 5)
        attr.handled_access_fs |= fs_ioctl_dev;
    if (abi >= 6) {
        attr.scoped = scope_abstract_unix_socket | scope_signal;
        attr_size += sizeof attr.scoped;
    }
    // The kernel makes the descriptor close-on-exec.
    unique_fd ruleset(
        static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0)));
    if (!ruleset.valid())
        return -1;
    if (root_fd < 0)
        return ruleset.release();
    path_beneath_attr beneath = {fs_read_file | fs_read_dir, root_fd};
    if (::syscall(SYS_landlock_add_rule, ruleset.get(), rule_path_beneath, &beneath, 0) != 0)
        return -1;
    return ruleset.release();
}

bool restrict_self(int ruleset)
{
    return ::syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
}

// Restricts a child process with `ruleset` twice, as the parent and then
// a worker will; gives 0, or the error the kernel refused it with.
int try_restriction(int ruleset)
{
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(restrict_self(ruleset) && restrict_self(ruleset) ? 0 : errno);
    if (child < 0)
        return 0;  // no process to spare: a worker that is refused will not serve
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

}  // namespace

void prepare_confinement(const char* root)
{
    // Inherited by every worker, so that none has to ask for it again: no
    // new privileges, and not dumpable, so that no other process of the
    // same user can read a worker's memory (another client's request)
    // through /proc or attach to it.
    (void)::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    long abi = landlock_abi();
    if (abi < 1) {
        // ENOSYS or EOPNOTSUPP: a kernel without it; EPERM: a container's
        // own system-call filter that does not know it.
        (void)std::fprintf(stderr, "warning: Landlock not enforced: landlock_create_ruleset: %s\n",
                           std::strerror(errno));
        return;
    }
    unique_fd root_fd(::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status;
    if (!root_fd.valid() || ::fstat(root_fd.get(), &status) != 0)
        return;
    prepared_ruleset = build_ruleset(root_fd.get(), abi);
    if (prepared_ruleset < 0) {
        (void)std::fprintf(stderr, "warning: Landlock not enforced: cannot build a ruleset: %s\n",
                           std::strerror(errno));
        probed_abi = -1;
        return;
    }
    prepared_device = status.st_dev;
    prepared_inode = status.st_ino;
    int refusal = try_restriction(prepared_ruleset);
    if (refusal != 0) {
        (void)std::fprintf(stderr, "warning: Landlock not enforced: landlock_restrict_self: %s\n",
                           std::strerror(refusal));
        ::close(prepared_ruleset);
        prepared_ruleset = -1;
        probed_abi = -1;
    }
}

bool landlock_enforced()
{
    return probed_abi >= 1;
}

int prepared_ruleset_fd()
{
    return prepared_ruleset;
}

namespace {

// Applies the prepared ruleset when `root_fd` is the directory it was made
// for, or else one built for `root_fd`.
bool restrict_to(int root_fd, long abi)
{
    // A Landlock rule holds a directory, not a path: the prepared ruleset
    // confines to the root as it was at start-up, so a worker whose root
    // has been replaced since then builds one for the directory it opened.
    struct stat status;
    if (prepared_ruleset >= 0 && root_fd >= 0 && ::fstat(root_fd, &status) == 0 &&
        status.st_dev == prepared_device && status.st_ino == prepared_inode)
        return restrict_self(prepared_ruleset);

    unique_fd ruleset(build_ruleset(root_fd, abi));
    return ruleset.valid() && restrict_self(ruleset.get());
}

}  // namespace

// The walk already refuses ".." and symbolic links; this makes the kernel
// refuse them too, should the walk ever be wrong.
bool confine_worker(int root_fd)
{
    long abi = landlock_abi();
    bool restricted = abi >= 1 && restrict_to(root_fd, abi);
    // Rules added to the prepared ruleset would hold for every later
    // worker, so no worker keeps its descriptor.
    if (prepared_ruleset >= 0) {
        ::close(prepared_ruleset);
        prepared_ruleset = -1;
    }
    // A worker never forks; with no processes allowed to its user, neither
    // can code that takes it over. (Root is not bound by this limit.)
    struct rlimit none = {0, 0};
    (void)::setrlimit(RLIMIT_NPROC, &none);
    return restricted;
}

bool confine_parent(int holder)
{
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' leak check stops and reads the whole process when it
    // ends, through /proc, which the domain would refuse: the sanitizer
    // build leaves the parent's domain out, as it leaves out the filter.
    (void)holder;
    return true;
#else
    long abi = landlock_abi();
    if (abi < 1)
        return true;
    unique_fd ruleset(build_ruleset(holder, abi));
    return ruleset.valid() && restrict_self(ruleset.get());
#endif
}
