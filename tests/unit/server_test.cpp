#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

#include "common/hand_off.h"
#include "server/server.h"

namespace {

struct port_case {
    std::string text;
    bool valid;
    long port;
};

TEST(parse_port, accepts_whole_numbers_from_1_to_65535)
{
    const port_case cases[] = {
        {"80", true, 80},
        {"1", true, 1},
        {"65535", true, 65535},
        {"+80", true, 80},
        {"  8080", true, 8080},
        {"\t42", true, 42},
        {"0", false, 0},
        {"65536", false, 0},
        {"-1", false, 0},
        {"80x", false, 0},
        {"", false, 0},
        {"80 ", false, 0},
        {"0x50", false, 0},
        {"++80", false, 0},
        {"99999999999999999999", false, 0},
        {"-99999999999999999999", false, 0},
    };
    for (const port_case& c : cases) {
        SCOPED_TRACE(c.text);
        long port = -7;
        EXPECT_EQ(parse_port(c.text.c_str(), &port), c.valid);
        EXPECT_EQ(port, c.valid ? c.port : -7);
    }
}

// A cgroup tree as the kernel shows it: files, each with its text.
struct cgroup_case {
    const char* what;
    const char* self;  // /proc/self/cgroup
    std::vector<std::pair<std::string, std::string>> files;
    cgroup_limits expected;
};

constexpr unsigned long long mib = 1ull << 20;

TEST(read_cgroup_limits, finds_the_memory_and_process_limits_that_bind_the_server)
{
    const cgroup_case cases[] = {
        {"v2, the limit set on a parent, inactive file pages not counted",
         "0::/pod/app\n",
         {{"cgroup.controllers", "memory pids"},
          {"pod/memory.max", "268435456"},
          {"pod/app/memory.max", "max"},
          {"pod/app/memory.current", "1048576"},
          {"pod/app/memory.stat", "anon 1000\ninactive_file 524288\nactive_file 7\n"},
          {"pod/pids.max", "max"},
          {"pod/app/pids.max", "2048"},
          {"pod/app/pids.current", "3"}},
         {256 * mib, mib / 2, 2048, 3}},
        {"v2 with no limit",
         "0::/app\n",
         {{"cgroup.controllers", "memory"},
          {"app/memory.max", "max"},
          {"app/memory.current", "4096"},
          {"app/pids.max", "max"}},
         {0, 4096, 0, 0}},
        {"v2 in a container without its own cgroup namespace: the host's path, its own files",
         "0::/kubepods/burstable/pod1/abc\n",
         {{"cgroup.controllers", "memory"},
          {"memory.max", "67108864"},
          {"memory.current", "2097152"}},
         {64 * mib, 2 * mib, 0, 0}},
        {"v1, the hierarchical limit of memory.stat, and a process limit",
         "12:pids:/a\n7:cpu,cpuacct:/a\n4:memory:/a\n0::/\n",
         {{"memory/a/memory.limit_in_bytes", "9223372036854771712"},
          {"memory/a/memory.usage_in_bytes", "3145728"},
          {"memory/a/memory.stat",
           "cache 0\ntotal_inactive_file 1048576\nhierarchical_memory_limit 67108864\n"},
          {"pids/a/pids.max", "100"},
          {"pids/a/pids.current", "1"}},
         {64 * mib, 2 * mib, 100, 1}},
        {"v1 with no limit",
         "4:memory:/\n",
         {{"memory/memory.limit_in_bytes", "9223372036854771712"},
          {"memory/memory.stat", "hierarchical_memory_limit 9223372036854771712\n"}},
         {0, 0, 0, 0}},
        {"no cgroup file system at all", "0::/\n", {}, {0, 0, 0, 0}},
    };
    for (const cgroup_case& c : cases) {
        SCOPED_TRACE(c.what);
        char root[] = "/tmp/quillbarrow-cgroup-XXXXXX";
        ASSERT_NE(mkdtemp(root), nullptr);
        for (const auto& [name, text] : c.files) {
            std::string path = std::string(root) + "/" + name;
            ASSERT_EQ(system(("mkdir -p \"$(dirname '" + path + "')\"").c_str()), 0);
            FILE* file = std::fopen(path.c_str(), "w");
            ASSERT_NE(file, nullptr);
            std::fputs((text + "\n").c_str(), file);
            std::fclose(file);
        }
        cgroup_limits limits = read_cgroup_limits(root, c.self);
        EXPECT_EQ(limits.memory_max, c.expected.memory_max);
        EXPECT_EQ(limits.memory_used, c.expected.memory_used);
        EXPECT_EQ(limits.pids_max, c.expected.pids_max);
        EXPECT_EQ(limits.pids_used, c.expected.pids_used);
        EXPECT_EQ(system(("rm -rf '" + std::string(root) + "'").c_str()), 0);
    }
}

// What the limits allow: workers at 256 KiB each in what is free but for
// 4 MiB, or the process limit less 4; a memory budget of what is free but
// for 4 MiB; held connections within the descriptors.
TEST(derive_worker_bound, counts_workers_and_waiting_connections_within_the_limits)
{
    struct {
        const char* what;
        cgroup_limits limits;
        long workers;
        bool by_processes;
        std::size_t descriptors, held;
        unsigned long long budget;
    } const cases[] = {
        {"no limit", {0, 4096, 0, 0}, 0, false, 1024, 960, 0},
        {"no limit, many descriptors", {0, 0, 0, 0}, 0, false, 1 << 20, max_room_capacity, 0},
        {"few descriptors", {0, 0, 0, 0}, 0, false, 100, 50, 0},
        {"memory",
         {256 * mib, mib / 2, 0, 0},
         1006,
         false,
         1 << 20,
         max_room_capacity,
         251 * mib + mib / 2},
        {"memory and processes, processes first",
         {64 * mib, 2 * mib, 100, 1},
         95,
         true,
         1 << 20,
         max_room_capacity,
         58 * mib},
        {"less free than a worker: still one and a few connections",
         {8 * mib, 8 * mib, 0, 0},
         1,
         false,
         1024,
         960,
         768 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bool by_processes = !c.by_processes;
        EXPECT_EQ(derive_worker_bound(c.limits, &by_processes), c.workers);
        EXPECT_EQ(by_processes, c.by_processes);
        EXPECT_EQ(derive_room_capacity(c.descriptors), c.held);
        EXPECT_EQ(derive_memory_budget(c.limits), c.budget);
    }
}

// What the kernel has charged, but for page cache it can drop at once (not
// shared memory, which a root on tmpfs is), and whether a worker's worst
// case and the reserve still fit beside it.
TEST(memory_gate, counts_what_is_charged_and_forks_where_a_worker_fits)
{
    struct {
        const char* what;
        const char* usage;
        const char* stat;
        bool v2;
        unsigned long long charged;
        bool fits;  // in 64 MiB
    } const cases[] = {
        {"v2, page cache dropped", "50000000\n", "anon 9000000\nfile 20000000\nshmem 0\n", true,
         30000000, true},
        {"v2, shared memory kept", "60000000\n", "file 20000000\nshmem 15000000\n", true, 55000000,
         true},
        {"v2, near the limit", "66000000\n", "file 1000000\nshmem 0\n", true, 65000000, false},
        {"v1, cache dropped", "66000000\n", "cache 5\ntotal_cache 30000000\ntotal_shmem 0\n", false,
         36000000, true},
        {"v1, a worker and the reserve short", "63000000\n", "total_cache 0\ntotal_shmem 0\n",
         false, 63000000, false},
        {"more droppable than charged", "100\n", "file 200\n", true, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned long long charged = charged_usage(c.usage, c.stat, c.v2);
        EXPECT_EQ(charged, c.charged);
        EXPECT_EQ(worker_fits(charged, 64 * mib), c.fits);
    }
}

// Far from the limit the gate reads nothing for a tenth of a second, its
// forks counted at their worst; near it, or later, it reads again.
TEST(memory_gate, reads_what_is_charged_only_near_the_limit_or_now_and_then)
{
    char usage_path[] = "/tmp/quillbarrow-usage-XXXXXX";
    char stat_path[] = "/tmp/quillbarrow-stat-XXXXXX";
    int usage_fd = mkstemp(usage_path);
    int stat_fd = mkstemp(stat_path);
    ASSERT_GE(usage_fd, 0);
    ASSERT_GE(stat_fd, 0);
    auto charge = [&](const char* text) {
        ASSERT_EQ(ftruncate(usage_fd, 0), 0);
        ASSERT_EQ(pwrite(usage_fd, text, strlen(text), 0), static_cast<ssize_t>(strlen(text)));
    };
    ASSERT_EQ(pwrite(stat_fd, "file 0\n", 7, 0), 7);
    memory_gate gate = {usage_fd, stat_fd, true, 64 * mib};
    struct {
        const char* what;
        const char* charged;  // written before the step
        long long now_ms;
        int forks_before;
        bool allowed;
    } const steps[] = {
        {"the first look reads", "10000000\n", 0, 0, true},
        {"far from the limit, nothing is read", "66000000\n", 50, 0, true},
        {"forks at their worst bring it near: read", "66000000\n", 60, 210, false},
        {"memory given back", "20000000\n", 70, 0, true},
        {"a tenth of a second on, read again", "66000000\n", 171, 0, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        charge(step.charged);
        for (int i = 0; i < step.forks_before; ++i)
            note_fork(gate);
        EXPECT_EQ(memory_allows_fork(gate, step.now_ms), step.allowed);
    }
    close(usage_fd);
    close(stat_fd);
    unlink(usage_path);
    unlink(stat_path);
}

}  // namespace

namespace {

// A connected TCP socket on loopback, as the accept loop takes one; -1
// where none can be made.
int connected_tcp_socket(int& peer)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    int accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return accepted;
}

int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return count;
}

// What a worker may hand back: its connection, and a regular file with
// the part still to send inside it. Anything else is closed and refused,
// whatever the sender attached, and nothing of it stays open.
TEST(receive_hand_back, takes_a_connection_and_a_range_of_a_file_and_refuses_the_rest)
{
    char file_path[] = "/tmp/quillbarrow-hand-back-XXXXXX";
    int file = mkstemp(file_path);
    ASSERT_GE(file, 0);
    ASSERT_EQ(pwrite(file, "0123456789", 10, 0), 10);
    int peer = -1;
    int conn = connected_tcp_socket(peer);
    ASSERT_GE(conn, 0);
    int unix_pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, unix_pair), 0);
    int directory = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    server_config config;
    ASSERT_TRUE(open_hand_off_channel(config));
    struct {
        const char* what;
        std::vector<int> fds;
        long long offset, end;
        bool taken;
    } const cases[] = {
        {"a connection and the rest of a file", {conn, file}, 4, 10, true},
        {"a connection whose response is all queued", {conn}, 0, 0, true},
        {"a UNIX socket for a connection", {unix_pair[0], file}, 0, 10, false},
        {"a directory for a file", {conn, directory}, 0, 10, false},
        {"an offset past the end", {conn, file}, 11, 12, false},
        {"an end past the file's", {conn, file}, 0, 11, false},
        {"an empty range", {conn, file}, 5, 5, false},
        {"a range without a file", {conn}, 0, 10, false},
        {"three descriptors", {conn, file, file}, 0, 10, false},
        {"no descriptor", {}, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int before = open_descriptors();
        hand_off_message range = {c.offset, c.end};
        iovec data = {&range, sizeof range};
        alignas(cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
        msghdr message = {};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        if (!c.fds.empty()) {
            message.msg_control = control;
            message.msg_controllen = CMSG_SPACE(c.fds.size() * sizeof(int));
            cmsghdr* rights = CMSG_FIRSTHDR(&message);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(c.fds.size() * sizeof(int));
            std::memcpy(CMSG_DATA(rights), c.fds.data(), c.fds.size() * sizeof(int));
        }
        ASSERT_EQ(sendmsg(config.hand_off_fd, &message, 0), static_cast<ssize_t>(sizeof range));
        hand_back back;
        hand_back_state state = receive_hand_back(config.hand_back_fd, back);
        EXPECT_EQ(state, c.taken ? hand_back_state::taken : hand_back_state::refused);
        if (state == hand_back_state::taken) {
            EXPECT_EQ(back.worker, getpid());
            EXPECT_EQ(back.offset, c.offset);
            EXPECT_EQ(back.end, c.end);
            close(back.conn_fd);
            if (back.file_fd >= 0)
                close(back.file_fd);
        }
        EXPECT_EQ(open_descriptors(), before) << "a descriptor stayed open";
    }
    hand_back none;
    EXPECT_EQ(receive_hand_back(config.hand_back_fd, none), hand_back_state::none);
    for (int fd : {file, conn, peer, unix_pair[0], unix_pair[1], directory, config.hand_back_fd,
                   config.hand_off_fd})
        close(fd);
    unlink(file_path);
}

}  // namespace
