#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "test_support.h"

// The kernel's confinement as the real binary sets it up: every process of
// the tree runs with no new privileges and, in the ordinary build, under
// the system-call filter, and no request of any kind trips the filter.

namespace {

std::string status_line(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field + ":", 0) == 0)
            return line;
    return "";
}

pid_t first_child(pid_t pid)
{
    std::vector<pid_t> children = children_of(pid);
    return children.empty() ? 0 : children.front();
}

// The first worker of `server`, once there is one; 0 after 5 s without.
pid_t wait_for_worker(pid_t server)
{
    pid_t worker = first_child(server);
    for (long deadline = now_ms() + 5000; worker == 0 && now_ms() < deadline;
         worker = first_child(server))
        usleep(20000);
    return worker;
}

class sandbox : public served_tree {
protected:
    void SetUp() override
    {
        write_file(root + "/hello.txt", "hello\n");
        write_file(root + "/big.bin", "");
        ASSERT_EQ(truncate((root + "/big.bin").c_str(), 16 << 20), 0);
        ASSERT_EQ(mkdir((root + "/site").c_str(), 0755), 0);
        write_file(root + "/site/index.html", "<p>site</p>\n");
        ASSERT_EQ(mkdir((root + "/listed").c_str(), 0755), 0);
        write_file(root + "/listed/a b.txt", "a");
        // A listing far larger than what a connection queues: its worker
        // waits on a client that does not read (a file's download it would
        // hand back to the parent).
        ASSERT_EQ(mkdir((root + "/many").c_str(), 0755), 0);
        for (int i = 0; i < 3000; ++i)
            write_file(root + "/many/" + std::to_string(i) + std::string(80, 'n'), "");
    }
    // A client that asks for the large listing and never reads.
    int busy_client()
    {
        int fd = connect_loopback(server.port);
        int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        EXPECT_TRUE(send_all(fd, "GET /many/ HTTP/1.1\r\n\r\n"));
        return fd;
    }
};

TEST_F(sandbox, the_parent_and_every_worker_run_filtered_without_new_privileges)
{
    start();
    // A reader that never reads keeps its worker alive after the walk.
    int fd = busy_client();
    pid_t worker = wait_for_worker(server.pid);
    ASSERT_NE(worker, 0) << "no worker appeared within 5 s";
    const std::string filter_mode = QUILLBARROW_FILTERED ? "Seccomp:\t2" : "Seccomp:\t0";
    for (pid_t pid : {server.pid, worker}) {
        SCOPED_TRACE(pid == worker ? "worker" : "parent");
        EXPECT_EQ(status_line(pid, "NoNewPrivs"), "NoNewPrivs:\t1");
        EXPECT_EQ(status_line(pid, "Seccomp"), filter_mode);
    }
    close(fd);
}

// What each descriptor of `pid` is, by its link text ("socket:[…]",
// "anon_inode:landlock-ruleset", a path), in descriptor order.
std::vector<std::string> descriptor_table(pid_t pid)
{
    std::vector<std::string> table;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd < 1024; ++fd) {
        char link[256] = {};
        if (readlink((dir + std::to_string(fd)).c_str(), link, sizeof link - 1) > 0)
            table.push_back(std::to_string(fd) + " " +
                            (strncmp(link, "socket:", 7) == 0 ? "socket" : link));
    }
    return table;
}

TEST_F(sandbox, the_parent_and_a_busy_worker_hold_only_their_own_descriptors_and_are_not_dumpable)
{
    // What a launcher may leave open: a descriptor without close-on-exec.
    int leaked = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(leaked, 50), 50);
    close(leaked);
    start();  // started as root when the test is: both become nobody
    close(50);
    // A reader that never reads keeps its worker sending.
    int fd = busy_client();
    pid_t worker = wait_for_worker(server.pid);
    ASSERT_NE(worker, 0) << "no worker appeared within 5 s";
    usleep(100000);  // past its start-up, into the send

    // A process that is not dumpable has its /proc files owned by root,
    // so no other process of its user can open its memory. Started as
    // root, both are nobody, with no groups and no capability.
    bool as_root = geteuid() == 0;
    for (pid_t pid : {server.pid, worker}) {
        SCOPED_TRACE(pid == worker ? "worker" : "parent");
        struct stat mem;
        ASSERT_EQ(stat(("/proc/" + std::to_string(pid) + "/mem").c_str(), &mem), 0);
        EXPECT_EQ(mem.st_uid, 0u) << "dumpable";
        if (!as_root)
            continue;
        EXPECT_EQ(status_line(pid, "Uid"), "Uid:\t65534\t65534\t65534\t65534");
        EXPECT_EQ(status_line(pid, "Gid"), "Gid:\t65534\t65534\t65534\t65534");
        std::string groups = status_line(pid, "Groups");
        EXPECT_EQ(groups.substr(0, groups.find_last_not_of(" \t") + 1), "Groups:");
        for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
            EXPECT_EQ(status_line(pid, set), set + std::string(":\t0000000000000000"));
    }
    // Should memory run out, the kernel kills the worker, not the parent.
    auto score_of = [](pid_t pid) {
        return command_output("cat /proc/" + std::to_string(pid) + "/oom_score_adj");
    };
    EXPECT_EQ(score_of(worker), "1000\n");
    EXPECT_EQ(score_of(server.pid), command_output("cat /proc/self/oom_score_adj"));
    if (!as_root) {
        close(fd);
        GTEST_SKIP() << "reading the descriptors of a process that is not dumpable needs root";
    }
    std::string root_dir = command_output("realpath '" + root + "' | tr -d '\n'");
    // The parent's out-of-memory score, its listening socket, with Landlock
    // the prepared ruleset, both ends of the channel workers hand back on
    // and of the one to its forker, and the set that watches the
    // connections it holds.
    bool landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u) >= 1;
    auto numbered = [](int number, const std::string& what) {
        return std::to_string(number) + " " + what;
    };
    int next = landlock ? 6 : 5;
    std::vector<std::string> parent_expected = {
        "0 /dev/null", "3 /proc/" + std::to_string(server.pid) + "/oom_score_adj", "4 socket"};
    if (landlock)
        parent_expected.push_back("5 anon_inode:[landlock-ruleset]");
    for (int channel_end = 0; channel_end < 4; ++channel_end)
        parent_expected.push_back(numbered(next + channel_end, "socket"));
    parent_expected.push_back(numbered(next + 4, "anon_inode:[eventpoll]"));
    // The worker has closed all that but its end of the channel, and holds
    // its connection (given by the forker, at 3) and the directory it lists
    // (its root, at 4, was closed by the walk).
    std::vector<std::string> worker_expected = {
        "0 /dev/null", "3 socket", "5 " + root_dir + "/many", numbered(next + 1, "socket")};
    // Read until both are as expected, for 5 s at most: on a loaded machine
    // the worker may still be opening its root, the parent still closing
    // its copy of the connection.
    std::vector<std::string> parent, in_worker;
    std::vector<std::string> parent_under_limit = parent_expected;
    parent_under_limit.back() = numbered(next + 6, "anon_inode:[eventpoll]");
    for (long deadline = now_ms() + 5000;; usleep(50000)) {
        parent = descriptor_table(server.pid);
        in_worker = descriptor_table(worker);
        // Standard output and error are the test's pipes; what matters is
        // the rest.
        for (auto* table : {&parent, &in_worker})
            std::erase_if(*table, [](const std::string& e) {
                return e.rfind("1 ", 0) == 0 || e.rfind("2 ", 0) == 0;
            });
        // Under a memory limit, the parent also reads what its cgroup has
        // charged, from two files it opened at start-up (the epoll set
        // comes after them).
        std::size_t cgroup_files = std::erase_if(parent, [](const std::string& e) {
            bool charged = e.find("/sys/fs/cgroup/") != std::string::npos;
            EXPECT_TRUE(!charged || e.ends_with("/memory.stat") || e.ends_with("/memory.current") ||
                        e.ends_with("/memory.usage_in_bytes"))
                << e;
            return charged;
        });
        if (cgroup_files == 2)
            parent_expected = parent_under_limit;
        if ((parent == parent_expected && in_worker == worker_expected) || now_ms() > deadline)
            break;
    }
    EXPECT_EQ(parent, parent_expected);
    EXPECT_EQ(in_worker, worker_expected) << "the worker's table while it sends";
    close(fd);
}

TEST_F(sandbox, no_request_makes_a_worker_end_other_than_normally)
{
    if (system("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed";
    // strace follows every worker and reports how each ended: a call that
    // the filter kills shows as "killed by SIGSYS".
    std::string log = root + "-strace.log";
    std::string why;
    ASSERT_TRUE(start_server(
        server, root, &why,
        {.prefix = {"strace", "-f", "-q", "-e", "trace=none", "-e", "signal=none", "-o", log}}))
        << why;

    const std::string requests[] = {
        simple_request("/hello.txt"),
        simple_request("/hello.txt", "HEAD"),
        simple_request("/site"),
        simple_request("/site/"),
        simple_request("/listed/"),
        simple_request("/listed/", "HEAD"),
        simple_request("/missing"),
        simple_request("/../x"),
        simple_request("/%zz"),
        simple_request("/" + std::string(5000, 'x')),
        "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
        "\r\n\r\n",
    };
    for (const std::string& request : requests) {
        SCOPED_TRACE(request.substr(0, 40));
        EXPECT_EQ(http_exchange(server.port, request).rfind("HTTP/1.1 ", 0), 0u)
            << "no response: the worker died";
    }
    // A client that leaves mid-body, and one that sends nothing.
    int fd = connect_loopback(server.port);
    ASSERT_TRUE(send_all(fd, simple_request("/big.bin")));
    char some[4096];
    EXPECT_GT(read(fd, some, sizeof some), 0);
    close(fd);
    close(connect_loopback(server.port));
    // The start-up trials end processes too: the filter's, its client, its
    // forker, and a worker for the root's page and one for a file;
    // Landlock's, one. The client that sent nothing had no worker: the
    // parent closed it.
    bool landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u) >= 1;
    std::size_t trial = (QUILLBARROW_FILTERED ? 5 : 0) + (landlock ? 1 : 0);
    std::size_t connections = sizeof requests / sizeof requests[0] + 1 + trial;

    // strace's one child; not looked for among the server's children,
    // which leave out a process that blocks SIGTERM as the server does.
    pid_t traced_server = 0;
    std::string strace_pid = std::to_string(server.pid);
    std::ifstream("/proc/" + strace_pid + "/task/" + strace_pid + "/children") >> traced_server;
    ASSERT_NE(traced_server, 0);
    server_process traced = server;
    traced.pid = traced_server;
    ASSERT_TRUE(wait_for_no_children(traced, 10000));
    // strace reports each end a moment after the worker is gone.
    std::string trace;
    std::size_t normal = 0;
    for (int tries = 0; tries < 100 && normal < connections; ++tries) {
        if (tries > 0)
            usleep(50000);
        trace = command_output("cat '" + log + "'");
        normal = 0;
        for (std::size_t at = 0;
             (at = trace.find("+++ exited with 0 +++", at)) != std::string::npos; ++at)
            ++normal;
    }
    EXPECT_EQ(trace.find("killed by"), std::string::npos) << trace;
    EXPECT_EQ(normal, connections) << trace;

    kill(traced_server, SIGKILL);
    stop_server(server);
    unlink(log.c_str());
}

}  // namespace

namespace {

// Whether `text` is anywhere in the writable memory of `pid`.
bool memory_holds(pid_t pid, const std::string& text)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    bool found = false;
    std::string line;
    while (mem >= 0 && !found && std::getline(maps, line)) {
        unsigned long start = 0, end = 0;
        char mode[5] = {};
        // Past 64 MiB a mapping is the sanitizers' shadow, not a buffer.
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, mode) != 3 || mode[1] != 'w' ||
            end - start > (64ul << 20))
            continue;
        std::string bytes(end - start, '\0');
        ssize_t got = pread(mem, bytes.data(), bytes.size(), static_cast<off_t>(start));
        found = got > 0 &&
                bytes.substr(0, static_cast<std::size_t>(got)).find(text) != std::string::npos;
    }
    if (mem >= 0)
        close(mem);
    return found;
}

// The parent looks at every client's head; no worker may find another
// client's in its memory.
TEST_F(sandbox, a_worker_holds_no_other_clients_head)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "reading the memory of a process that is not dumpable needs root";
    start();
    std::string secret = "Bearer not-for-other-workers-" + std::to_string(getpid());
    int waiting = connect_loopback(server.port);
    ASSERT_TRUE(send_all(waiting, "GET / HTTP/1.1\r\nAuthorization: " + secret + "\r\n"));
    usleep(100000);  // looked at by the parent, and held
    int fd = busy_client();
    pid_t worker = wait_for_worker(server.pid);
    ASSERT_NE(worker, 0) << "no worker appeared within 5 s";
    usleep(100000);
    // The search itself works: the secret is in this process.
    EXPECT_TRUE(memory_holds(getpid(), secret));
    EXPECT_FALSE(memory_holds(worker, secret)) << "another client's head is in a worker";
    close(fd);
    close(waiting);
}

}  // namespace

namespace {

// Whatever the start, neither the parent nor a worker holds a capability:
// not one an ordinary user was given to bind a low port (ambient), nor any
// of root's.
TEST_F(sandbox, no_process_keeps_a_capability_whatever_the_start)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start the server with capabilities";
    struct {
        const char* what;
        std::vector<std::string> prefix;
    } const cases[] = {
        {"as root", {}},
        {"as a user with an ambient capability",
         {"setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "--inh-caps",
          "+net_bind_service", "--ambient-caps", "+net_bind_service"}},
        // Root there, with every capability, but no nobody to become.
        {"as root of a user namespace that maps only root",
         {"unshare", "--user", "--map-root-user"}},
    };
    // The kernel refuses a user namespace in a chroot.
    bool user_namespaces = system("unshare --user --map-root-user true >/dev/null 2>&1") == 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.prefix.size() > 1 && c.prefix[1] == "--user" && !user_namespaces) {
            std::printf("not run here, no user namespace: %s\n", c.what);
            continue;
        }
        start({.prefix = c.prefix});
        int fd = busy_client();
        pid_t worker = wait_for_worker(server.pid);
        ASSERT_NE(worker, 0) << "no worker appeared within 5 s";
        for (pid_t pid : {server.pid, worker})
            for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
                EXPECT_EQ(status_line(pid, set), set + std::string(":\t0000000000000000"))
                    << (pid == worker ? "worker" : "parent");
        close(fd);
        stop_server(server);
    }
}

}  // namespace
