#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/sandbox.h"

namespace {

bool landlock_available()
{
    return syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u) >= 1;
}

std::string temp_dir()
{
    char name[] = "/tmp/quillbarrow-confine-XXXXXX";
    return mkdtemp(name) ? name : "";
}

void put(const std::string& path, const char* text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
    close(fd);
}

bool opens(const std::string& path, int flags = O_RDONLY)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

struct access_case {
    const char* what;
    std::string path;
    int flags;
    bool allowed;
};

TEST(confine_worker, allows_reading_beneath_the_root_and_nothing_else)
{
    if (!landlock_available())
        GTEST_SKIP() << "Landlock is not available on this kernel";
    std::string root = temp_dir(), outside = temp_dir();
    put(root + "/inside.txt", "in");
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    put(root + "/sub/deeper.txt", "in");
    put(outside + "/secret.txt", "out");
    ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), (root + "/link-out").c_str()), 0);

    // A listener outside the restricted process, to try to connect to.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    listen(listener, 1);

    const access_case cases[] = {
        {"a file beneath the root", root + "/inside.txt", O_RDONLY, true},
        {"a file deeper down", root + "/sub/deeper.txt", O_RDONLY, true},
        {"a directory beneath the root", root + "/sub", O_RDONLY | O_DIRECTORY, true},
        {"writing beneath the root", root + "/inside.txt", O_WRONLY, false},
        {"creating beneath the root", root + "/new.txt", O_WRONLY | O_CREAT, false},
        {"an absolute path outside", outside + "/secret.txt", O_RDONLY, false},
        {"a symbolic link leading outside", root + "/link-out", O_RDONLY, false},
        {"dot-dot out of the root", root + "/../" + outside.substr(5) + "/secret.txt", O_RDONLY,
         false},
        {"a system file", "/etc/passwd", O_RDONLY, false},
    };

    // The restricted child reports one byte per case: 'y' when it could.
    constexpr std::size_t case_count = sizeof cases / sizeof cases[0];
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        // No new privileges, as the parent sets before any worker: without
        // it only root may apply a Landlock ruleset.
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!confine_worker(root_fd))
            _exit(1);
        char outcome[case_count + 1];
        for (std::size_t i = 0; i < case_count; ++i)
            outcome[i] = opens(cases[i].path, cases[i].flags) ? 'y' : 'n';
        int s = socket(AF_INET, SOCK_STREAM, 0);
        bool connected = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        outcome[case_count] = connected ? 'y' : 'n';
        _exit(write(report[1], outcome, sizeof outcome) == sizeof outcome ? 0 : 2);
    }
    close(report[1]);
    char outcome[case_count + 1] = {};
    ssize_t got = read(report[0], outcome, sizeof outcome);
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "confine_worker reported failure";
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof outcome));
    for (std::size_t i = 0; i < case_count; ++i)
        EXPECT_EQ(outcome[i] == 'y', cases[i].allowed)
            << cases[i].what << (cases[i].allowed ? " was refused" : " was allowed");
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u) >= 4) {
        EXPECT_EQ(outcome[case_count], 'n') << "a TCP connect was allowed";
    }
    close(listener);
    std::string cleanup = "rm -rf '" + root + "' '" + outside + "'";
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

// An attacker with code execution in a worker that has just started: the
// parent prepared the confinement and confined itself to the directory
// that holds the root, the worker opened its root and confined itself, as
// it does before reading a byte. Then one in the parent itself. Each
// attempt gives 'y' when it succeeded. (A path descriptor, which Landlock
// does not check, is what the system-call filter refuses; here it stands
// for any descriptor of "/".)
TEST(confine_worker, a_taken_over_worker_reads_nothing_outside_and_cannot_weaken_the_next)
{
    if (!landlock_available())
        GTEST_SKIP() << "Landlock is not available on this kernel";
    std::string holder = temp_dir(), sibling = temp_dir();
    std::string root = holder + "/www";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    put(root + "/inside.txt", "in");
    put(sibling + "/secret.txt", "out");
    for (const std::string& dir : {holder, root, sibling})
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const char* attempts[] = {"a file of the root",
                              "/etc/passwd",
                              "a sibling's file",
                              "listing /",
                              "the parent's memory",
                              "a rule added to the prepared ruleset",
                              "a new process",
                              "the parent: a file of the root",
                              "the parent: /etc/passwd",
                              "the parent: a sibling's file",
                              "the parent: an unrelated process's environment",
                              "a worker under a ruleset the parent made for /: /etc/passwd",
                              "the parent: a signal to an unrelated process"};
    constexpr std::size_t count = sizeof attempts / sizeof attempts[0];
    constexpr std::size_t in_worker = 7;
    // Signals are kept within the domain from Landlock's sixth version on.
    bool scoped = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u) >= 6;
    char expected[count + 1] = "ynnnnnnynnnnn";
    expected[count - 1] = scoped ? 'n' : 'y';

    // Another process of the same user, which the parent has no business
    // with.
    pid_t unrelated = fork();
    if (unrelated == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        alarm(30);  // should this test end without it
        pause();
        _exit(0);
    }
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t parent = fork();
    if (parent == 0) {
        close(report[0]);
        // The process limit binds only a user without privileges.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        prepare_confinement(root.c_str());
        int holder_fd = open(holder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (!confine_parent(holder_fd))
            _exit(7);
        close(holder_fd);
        // The prepared ruleset is the one descriptor the parent opened.
        int ruleset = -1;
        for (int fd = 3; fd < 64 && ruleset < 0; ++fd) {
            char link[64] = {};
            std::string path = "/proc/self/fd/" + std::to_string(fd);
            if (readlink(path.c_str(), link, sizeof link - 1) > 0 && strstr(link, "landlock"))
                ruleset = fd;
        }
        pid_t parent_pid = getpid();
        pid_t worker = fork();
        if (worker == 0) {
            int root_fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            confine_worker(root_fd);
            std::string mem = "/proc/" + std::to_string(parent_pid) + "/mem";
            struct {
                std::uint64_t access;
                std::int32_t fd;
            } __attribute__((packed))
            everything = {(1ull << 2) | (1ull << 3), open("/", O_PATH | O_CLOEXEC)};
            char outcome[in_worker];
            outcome[0] = opens(root + "/inside.txt") ? 'y' : 'n';
            outcome[1] = opens("/etc/passwd") ? 'y' : 'n';
            outcome[2] = opens(sibling + "/secret.txt") ? 'y' : 'n';
            outcome[3] = opens("/", O_RDONLY | O_DIRECTORY) ? 'y' : 'n';
            outcome[4] = opens(mem) ? 'y' : 'n';
            outcome[5] =
                ruleset >= 0 && syscall(SYS_landlock_add_rule, ruleset, 1, &everything, 0) == 0
                    ? 'y'
                    : 'n';
            pid_t child = fork();
            if (child == 0)
                _exit(0);
            outcome[6] = child > 0 ? 'y' : 'n';
            _exit(write(report[1], outcome, in_worker) == in_worker ? 0 : 2);
        }
        int status = 0;
        waitpid(worker, &status, 0);
        char outcome[count - in_worker];
        outcome[0] = opens(root + "/inside.txt") ? 'y' : 'n';
        outcome[1] = opens("/etc/passwd") ? 'y' : 'n';
        outcome[2] = opens(sibling + "/secret.txt") ? 'y' : 'n';
        outcome[3] = opens("/proc/" + std::to_string(unrelated) + "/environ") ? 'y' : 'n';
        outcome[5] = kill(unrelated, 0) == 0 ? 'y' : 'n';
        // A ruleset the parent builds for all of / (as it could put one
        // in place of the prepared one) reaches no further than its own.
        pid_t replaced = fork();
        if (replaced == 0) {
            std::uint64_t read_access = (1ull << 2) | (1ull << 3);
            long wide = syscall(SYS_landlock_create_ruleset, &read_access, sizeof read_access, 0);
            struct {
                std::uint64_t access;
                std::int32_t fd;
            } __attribute__((packed)) everything = {read_access, open("/", O_PATH | O_CLOEXEC)};
            if (wide < 0 || syscall(SYS_landlock_add_rule, wide, 1, &everything, 0) != 0 ||
                syscall(SYS_landlock_restrict_self, wide, 0) != 0)
                _exit(2);
            _exit(opens("/etc/passwd") ? 1 : 0);
        }
        int replaced_status = 0;
        waitpid(replaced, &replaced_status, 0);
        outcome[4] = WIFEXITED(replaced_status) && WEXITSTATUS(replaced_status) == 1 ? 'y' : 'n';
        if (write(report[1], outcome, sizeof outcome) != sizeof outcome)
            _exit(8);
        // Nor can the parent, under its filter (where the build has one).
        pid_t taken = fork();
        if (taken == 0) {
            if (!install_syscall_filter(server_filter_list()))
                _exit(0);
            struct {
                std::uint64_t access;
                std::int32_t fd;
            } __attribute__((packed))
            everything = {(1ull << 2) | (1ull << 3), open("/", O_RDONLY | O_CLOEXEC)};
            syscall(SYS_landlock_add_rule, ruleset, 1, &everything, 0);
            _exit(6);
        }
        int taken_status = 0;
        waitpid(taken, &taken_status, 0);
        if (!(WIFEXITED(taken_status) && WEXITSTATUS(taken_status) == 0) &&
            !(WIFSIGNALED(taken_status) && WTERMSIG(taken_status) == SIGSYS))
            _exit(6);
        _exit(ruleset < 0 ? 4 : WIFEXITED(status) ? WEXITSTATUS(status) : 5);
    }
    close(report[1]);
    char outcome[count + 1] = {};
    ssize_t got = 0;
    for (ssize_t part; got < static_cast<ssize_t>(count) &&
                       (part = read(report[0], outcome + got, count - got)) > 0;)
        got += part;
    close(report[0]);
    int status = 0;
    ASSERT_EQ(waitpid(parent, &status, 0), parent);
    kill(unrelated, SIGKILL);
    waitpid(unrelated, nullptr, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    ASSERT_EQ(got, static_cast<ssize_t>(count));
    // The sanitizer build leaves the server's own domain out.
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t checked = in_worker;
#else
    constexpr std::size_t checked = count;
#endif
    for (std::size_t i = 0; i < checked; ++i)
        EXPECT_EQ(outcome[i], expected[i])
            << attempts[i] << (expected[i] == 'y' ? " was refused" : " succeeded");
    EXPECT_EQ(system(("rm -rf '" + holder + "' '" + sibling + "'").c_str()), 0);
}

}  // namespace
