#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <string>
#include <vector>
#include <cstdio>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/sandbox.h"
#include "server/server.h"

namespace {

// Runs `body` in a child that first installs the filter; gives the child's
// wait status. Exit status 100 means the filter could not be installed.
template <typename Body>
int status_under_filter(Body body)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (!install_syscall_filter(server_filter_list()))
            _exit(100);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

bool filter_available()
{
    int status = status_under_filter([] { return 0; });
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A fresh directory holding page.txt ("page"); empty when it could not be made.
std::string directory_with_page()
{
    char dir[] = "/tmp/quillbarrow-filter-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return "";
    std::string file = std::string(dir) + "/page.txt";
    int made = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    bool written = write(made, "page", 4) == 4;
    close(made);
    return written ? dir : "";
}

struct forbidden_case {
    const char* what;
    int (*attempt)(int spare_socket);
};

// Each attempt returns normally only if the kernel let the call through.
const forbidden_case forbidden_cases[] = {
    {"execve",
     [](int) {
         char* argv[] = {const_cast<char*>("true"), nullptr};
         execv("/bin/true", argv);
         return 1;
     }},
    {"a UDP socket", [](int) { return socket(AF_INET, SOCK_DGRAM, 0) >= 0 ? 0 : 1; }},
    {"a UNIX socket", [](int) { return socket(AF_UNIX, SOCK_STREAM, 0) >= 0 ? 0 : 1; }},
    {"connect",
     [](int spare) {
         sockaddr_in address{};
         address.sin_family = AF_INET;
         address.sin_port = htons(9);
         address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
         return connect(spare, reinterpret_cast<sockaddr*>(&address), sizeof address);
     }},
    {"ptrace", [](int) { return static_cast<int>(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr)); }},
    {"kill", [](int) { return kill(getppid(), 0); }},
    {"openat for writing",
     [](int) {
         return openat(AT_FDCWD, "/tmp/quillbarrow-filter-probe", O_WRONLY | O_CREAT, 0600);
     }},
    {"openat for truncating",
     [](int) { return openat(AT_FDCWD, "/tmp/quillbarrow-filter-probe", O_RDONLY | O_TRUNC); }},
    {"openat for a path descriptor", [](int) { return openat(AT_FDCWD, "/", O_PATH); }},
    {"unshare", [](int) { return unshare(CLONE_NEWUSER); }},
    // A worker may only become nobody, with no groups: any other identity kills.
    {"setresuid to root", [](int) { return setresuid(0, 0, 0); }},
    {"setresgid to another group", [](int) { return setresgid(65534, 65534, 0); }},
    {"setuid", [](int) { return setuid(65534); }},
    {"setgroups with a group",
     [](int) {
         gid_t group = 0;
         return setgroups(1, &group);
     }},
#if defined(__x86_64__)
    // Other architectures have no second ABI that a 64-bit process can
    // call through with a bit of the number.
    {"a call through the x32 ABI",
     [](int) { return static_cast<int>(syscall(0x40000000 | SYS_getpid)); }},
#endif
    {"clone into a new network namespace",
     [](int) {
         return static_cast<int>(
             syscall(SYS_clone, CLONE_NEWNET | SIGCHLD, nullptr, nullptr, nullptr, 0));
     }},
};

TEST(syscall_filter, kills_a_process_that_tries_what_only_an_attacker_would)
{
    if (!filter_available())
        GTEST_SKIP() << "built without the system-call filter, or the kernel has no seccomp";
    for (const forbidden_case& c : forbidden_cases) {
        int spare = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int status = status_under_filter([&] { return c.attempt(spare); });
        close(spare);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
            << c.what << ": wait status " << status;
    }
    unlink("/tmp/quillbarrow-filter-probe");
}

TEST(syscall_filter, lets_a_worker_do_its_work_and_refuses_the_rest_quietly)
{
    if (!filter_available())
        GTEST_SKIP() << "built without the system-call filter, or the kernel has no seccomp";
    std::string made = directory_with_page();
    ASSERT_FALSE(made.empty());
    const char* dir = made.c_str();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);

    // What a worker does: open beneath a directory, read and send a file,
    // list the directory, shut down its side, and fork (as the parent).
    int status = status_under_filter([&] {
        int root = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int fd = openat(root, "page.txt", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (root < 0 || fd < 0 || fstat(fd, &st) != 0)
            return 1;
        char text[4];
        if (pread(fd, text, sizeof text, 0) != 4 || send(pair[0], text, 4, MSG_NOSIGNAL) != 4)
            return 2;
        char entries[4096];
        if (getdents64(root, entries, sizeof entries) <= 0)
            return 3;
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        if (child < 0 || shutdown(pair[0], SHUT_WR) != 0)
            return 4;
        // Off the list but harmless: refused, and the process goes on.
        if (chdir("/") == 0 || errno != EPERM)
            return 5;
        // Memory to write, but never memory to run.
        void* page =
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED || munmap(page, 4096) != 0)
            return 7;
        if (mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
                MAP_FAILED ||
            errno != EPERM)
            return 8;
        // No way to memory that runs: not by a personality that makes
        // readable memory executable, nor by shared memory attached so.
        if (syscall(SYS_personality, 0x0400000) != -1 || errno != EPERM)
            return 9;
        if (syscall(SYS_shmget, IPC_PRIVATE, 4096, IPC_CREAT | 0600) != -1 || errno != EPERM)
            return 10;
        // Its flags hidden from the filter, clone3 is reported missing.
        if (syscall(SYS_clone3, nullptr, 0) != -1 || errno != ENOSYS)
            return 6;
        return 0;
    });
    EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The child's end closed here too, a child that sent nothing gives an
    // end of stream at once rather than a read that never returns.
    close(pair[0]);
    pair[0] = -1;
    char received[5] = {};
    EXPECT_EQ(read(pair[1], received, 4), 4) << "the worker sent nothing";
    EXPECT_STREQ(received, "page");
    close(pair[1]);
    EXPECT_EQ(system(("rm -rf '" + std::string(dir) + "'").c_str()), 0);
}

// The operations of one request, each with every call a C library may
// make for it on this architecture. With one operation's calls left off
// the list, the start-up check must find one of them missing, add it and
// pass; a call it needs that the list kills stops the server instead.
struct needed_operation {
    const char* what;
    std::vector<int> calls;
    // Left out (drop), or named otherwise: a check must then refuse to start.
    enum { drop, kill, never_add } change = drop;
};

#ifdef SYS_open
constexpr int open_call = SYS_open;
#else
constexpr int open_call = SYS_openat;  // no open on this architecture
#endif

TEST(syscall_filter, the_start_up_check_adds_any_call_of_a_request_that_the_list_lacks)
{
    if (!filter_available())
        GTEST_SKIP() << "built without the system-call filter, or the kernel has no seccomp";
    std::string made = directory_with_page();
    ASSERT_FALSE(made.empty());
    const char* dir = made.c_str();
    server_config config;
    std::snprintf(config.root, sizeof config.root, "%s", dir);

    const needed_operation operations[] = {
        {"nothing left out", {}},
        {"forking", {SYS_clone, SYS_rt_sigprocmask}},
        {"Landlock", {SYS_landlock_restrict_self}},
        {"giving up forking", {SYS_prlimit64}},
        {"opening", {SYS_openat, open_call}},
#if defined(SYS_newfstatat)
        {"a status query", {SYS_fstat, SYS_newfstatat, SYS_statx}},
#else
        {"a status query", {SYS_fstat64, SYS_fstatat64, SYS_statx}},
#endif
#if defined(SYS_recv)
        {"receiving the head", {SYS_recvfrom, SYS_recv, SYS_read}},
        {"sending the page", {SYS_sendto, SYS_send}},
#else
        {"receiving the head", {SYS_recvfrom, SYS_read}},
        {"sending the page", {SYS_sendto}},
#endif
        {"reading a directory", {SYS_getdents64}},
#if defined(SYS_mmap2)
        {"memory for the page", {SYS_mmap2}},
#else
        {"memory for the page", {SYS_mmap}},
#endif
#if defined(SYS_sendfile64)
        {"sending a file", {SYS_sendfile, SYS_sendfile64}},
#else
        {"sending a file", {SYS_sendfile}},
#endif
        {"closing", {SYS_close}},
        {"accepting", {SYS_accept4, SYS_accept}},
        {"watching connections", {SYS_epoll_ctl}},
        {"taking a response a worker hands back", {SYS_recvmsg}},
        {"asking what a handed-back socket is", {SYS_getsockopt}},
        {"looking whether a file's pages are in memory", {SYS_preadv2}},
        {"ending", {SYS_exit_group}},
        {"a call serving needs that the list kills", {SYS_getdents64}, needed_operation::kill},
        {"a call serving needs that must never be added",
         {SYS_getdents64},
         needed_operation::never_add},
    };
    for (const needed_operation& operation : operations) {
        SCOPED_TRACE(operation.what);
        filter_list list = server_filter_list();
        for (int call : operation.calls) {
            drop_call(list, call);
            if (operation.change != needed_operation::drop)
                (void)set_call_rule(list, call,
                                    operation.change == needed_operation::kill
                                        ? filter_rule::kill
                                        : filter_rule::never_add);
        }
        filter_check check = check_syscall_filter(config, list);
        if (operation.change != needed_operation::drop) {
            EXPECT_EQ(check.outcome, filter_check::needs_listed);
            EXPECT_EQ(check.call, operation.calls[0]);
            continue;
        }
        EXPECT_EQ(check.outcome, filter_check::passed) << check.reason;
        EXPECT_EQ(check.added_count == 0, operation.calls.empty()) << check.added_count << " added";
        for (std::size_t i = 0; i < check.added_count; ++i) {
            bool named_one = false;
            for (int call : operation.calls)
                named_one = named_one || check.added[i] == call;
            char name[64];
            name_system_call(check.added[i], name, sizeof name);
            EXPECT_TRUE(named_one) << "added " << name;
        }
    }
    EXPECT_EQ(system(("rm -rf '" + std::string(dir) + "'").c_str()), 0);
}

}  // namespace
