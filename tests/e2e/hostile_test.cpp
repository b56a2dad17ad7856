#include <gtest/gtest.h>

#include <fstream>
#include <csignal>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"

// Clients that behave like attackers. Each test checks that the server
// keeps answering others meanwhile, and prints nothing per request.

namespace {

const std::string hello_response =
    "HTTP/1.1 200 OK\r\nServer: quillbarrow/1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 6\r\nConnection: close\r\n\r\nhello\n";
const std::string hello_request = "GET /hello.txt HTTP/1.1\r\n\r\n";

class hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = make_temp_dir();
        write_file(root + "/hello.txt", "hello\n");
        write_file(root + "/big.bin", "");
        ASSERT_EQ(truncate((root + "/big.bin").c_str(), 16 << 20), 0);
        std::string why;
        ASSERT_TRUE(start_server(server, root, &why, {.capture_output = true})) << why;
    }
    void TearDown() override
    {
        EXPECT_EQ(server_output(server), "") << "the server printed something";
        stop_server(server);
        remove_tree(root);
    }
    std::string root;
    server_process server;
};

TEST_F(hostile, slow_headers_do_not_keep_others_waiting)
{
    std::vector<int> slow;
    for (int i = 0; i < 200; ++i) {
        int fd = connect_loopback(server.port);
        ASSERT_GE(fd, 0);
        slow.push_back(fd);
    }
    const std::string head = "GET /hello.txt HTTP/1.1\r\nX-Slow: trickle\r\n\r\n";
    for (std::size_t byte = 0; byte < 10; ++byte) {
        for (int fd : slow)
            send_all(fd, std::string_view(&head[byte], 1));
        usleep(20000);
        EXPECT_EQ(http_exchange(server.port, hello_request), hello_response) << "round " << byte;
    }
    for (int fd : slow)
        close(fd);
}

TEST_F(hostile, stalled_readers_do_not_keep_others_waiting)
{
    std::vector<int> stalled;
    for (int i = 0; i < 20; ++i) {
        int fd = connect_loopback(server.port);
        ASSERT_TRUE(send_all(fd, "GET /big.bin HTTP/1.1\r\n\r\n"));
        stalled.push_back(fd);
    }
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(http_exchange(server.port, hello_request), hello_response);
    for (int fd : stalled)
        close(fd);
    EXPECT_TRUE(wait_for_no_children(server, 10000));
}

TEST_F(hostile, garbage_heads_get_one_well_formed_error_each)
{
    std::mt19937 generator(1234);
    for (int i = 0; i < 100; ++i) {
        std::string head(1 + generator() % 600, '\0');
        for (char& c : head)
            c = static_cast<char>(i % 2 ? generator() & 0xff : 0x20 + generator() % 95);
        int fd = connect_loopback(server.port);
        send_all(fd, head);
        shutdown(fd, SHUT_WR);
        parsed_response r = parse_response(read_until_close(fd));
        close(fd);
        SCOPED_TRACE(i);
        EXPECT_TRUE(r.status == 400 || r.status == 403 || r.status == 404 || r.status == 414 ||
                    r.status == 501)
            << r.status;
        EXPECT_EQ(r.content_length, static_cast<long>(r.body.size()));
    }
    EXPECT_EQ(http_exchange(server.port, hello_request), hello_response);
}

TEST_F(hostile, heads_at_the_buffer_size_are_answered_whole)
{
    for (std::size_t size : {16383u, 16384u, 16385u}) {
        std::string start = "GET /hello.txt HTTP/1.1\r\nX-Fill: ";
        std::string head = start + std::string(size - start.size() - 4, 'f') + "\r\n\r\n";
        ASSERT_EQ(head.size(), size);
        SCOPED_TRACE(size);
        EXPECT_EQ(http_exchange(server.port, head), hello_response);
    }
}

TEST_F(hostile, a_client_that_resets_mid_body_harms_nothing)
{
    for (int i = 0; i < 5; ++i) {
        int fd = connect_loopback(server.port);
        ASSERT_TRUE(send_all(fd, "GET /big.bin HTTP/1.1\r\n\r\n"));
        char buffer[4096];
        ASSERT_GT(read(fd, buffer, sizeof buffer), 0);
        struct linger reset = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    EXPECT_TRUE(wait_for_no_children(server, 10000));
    EXPECT_EQ(http_exchange(server.port, hello_request), hello_response);
}

TEST_F(hostile, thousands_of_short_connections_leave_nothing_behind)
{
    int fds_before = count_open_fds(server.pid);
    constexpr int connections = 2000;
    for (int i = 0; i < connections; ++i) {
        int fd = connect_loopback(server.port);
        ASSERT_GE(fd, 0);
        if (i % 2 == 0)
            send_all(fd, hello_request);
        close(fd);
    }
    // All of them queue at once, and each costs the parent a fork before
    // this one is accepted: up to 5 ms apiece in a sanitizer build on a
    // slow machine.
    EXPECT_EQ(http_exchange(server.port, hello_request, 5000 + connections * 5), hello_response);
    EXPECT_TRUE(wait_for_no_children(server, 20000));
    EXPECT_EQ(count_children(server.pid, true), 0);
    EXPECT_EQ(count_open_fds(server.pid), fds_before);
}

}  // namespace

namespace {

// A download from a disk whose every read takes a second (a file system of
// the test's own): whoever sends it waits for the disk, and no other
// client does. A parent that sent it would keep everyone waiting.
TEST(slow_disk, a_download_from_a_slow_disk_does_not_delay_other_clients)
{
    if (std::string(QUILLBARROW_SLOW_FS).empty())
        GTEST_SKIP() << "built without FUSE (libfuse3-dev)";
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "needs root and /dev/fuse to mount a file system";
    std::string mount = make_temp_dir();
    pid_t fs = fork();
    if (fs == 0) {
        execl(QUILLBARROW_SLOW_FS, "slow_fs", "-f", "-o", "allow_other", mount.c_str(), nullptr);
        _exit(127);
    }
    bool mounted = false;
    for (long deadline = now_ms() + 5000; !mounted && now_ms() < deadline; usleep(20000))
        mounted = access((mount + "/hello.txt").c_str(), R_OK) == 0;
    if (!mounted) {
        kill(fs, SIGKILL);
        waitpid(fs, nullptr, 0);
        rmdir(mount.c_str());
        GTEST_SKIP() << "cannot mount a FUSE file system here";
    }
    server_process server;
    std::string why;
    EXPECT_TRUE(start_server(server, mount, &why)) << why;

    // The client is slower than the disk at first, so that its response
    // waits on it, then reads faster than the disk, so that the response
    // waits on the disk.
    int download = connect_loopback(server.port);
    int small = 16384;
    setsockopt(download, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    EXPECT_TRUE(send_all(download, "GET /cold.bin HTTP/1.1\r\n\r\n"));
    struct pollfd first = {download, POLLIN, 0};
    EXPECT_EQ(poll(&first, 1, 5000), 1) << "nothing of the download arrived";
    usleep(1500000);
    for (int round = 0; round < 15 && server.pid > 0; ++round) {
        char sink[65536];
        while (recv(download, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        usleep(100000);
        long asked_at = now_ms();
        EXPECT_EQ(http_exchange(server.port, hello_request), hello_response);
        // A read of the slow disk takes 1000 ms; the margin is for a
        // loaded machine.
        EXPECT_LT(now_ms() - asked_at, 500) << "round " << round << " waited for the disk";
    }
    close(download);
    stop_server(server);
    kill(fs, SIGTERM);
    waitpid(fs, nullptr, 0);
    umount2(mount.c_str(), MNT_DETACH);
    rmdir(mount.c_str());
}

}  // namespace
