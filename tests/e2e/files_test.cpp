#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "test_support.h"

namespace {

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xff);
    return bytes;
}

const std::string path_not_found = expected_error(
    404, "not found", "the requested resource does not exist. perhaps you typed the url wrong?");
const std::string not_servable = expected_error(
    404, "not found",
    "the requested resource does not exist. perhaps you may have typed the url wrong?");

class files : public served_tree {
protected:
    void SetUp() override
    {
        write_file(outside + "/secret.txt", "secret\n");
        ASSERT_EQ(mkdir((outside + "/dir").c_str(), 0755), 0);
        write_file(outside + "/dir/secret.txt", "secret\n");

        write_file(root + "/hello.txt", "hello\n");
        write_file(root + "/empty.txt", "");
        write_file(root + "/photo.JPG", "jpeg");
        write_file(root + "/README", "readme");
        ASSERT_EQ(mkdir((root + "/a").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/a/b").c_str(), 0755), 0);
        write_file(root + "/a/b/c.txt", "deep\n");
        ASSERT_EQ(mkdir((root + "/build.2").c_str(), 0755), 0);
        write_file(root + "/build.2/README", "r2");
        write_file(root + "/a b.txt", "spaced\n");
        write_file(root + "/x y.txt", "blank\n");
        write_file(root + "/x+y.txt", "plus\n");
        write_file(root + "/c++.txt", "cpp\n");
        ASSERT_EQ(symlink("hello.txt", (root + "/link-to-file").c_str()), 0);
        ASSERT_EQ(symlink("a", (root + "/link-to-dir").c_str()), 0);
        ASSERT_EQ(symlink((outside + "/secret.txt").c_str(), (root + "/link-out").c_str()), 0);
        ASSERT_EQ(symlink((outside + "/dir").c_str(), (root + "/link-out-dir").c_str()), 0);
        ASSERT_EQ(symlink("../b/c.txt", (root + "/a/b/../link-up").c_str()), 0);
        start();
    }
    void TearDown() override
    {
        served_tree::TearDown();
        remove_tree(outside);
    }

    std::string outside = make_temp_dir();
};

struct file_case {
    std::string target;
    std::string type;
    std::string body;
};

TEST_F(files, serves_regular_files_with_type_length_and_body)
{
    const file_case cases[] = {
        {"/hello.txt", "text/plain; charset=utf-8", "hello\n"},
        {"//hello.txt", "text/plain; charset=utf-8", "hello\n"},
        {"/a/b/c.txt", "text/plain; charset=utf-8", "deep\n"},
        {"//a///b/c.txt", "text/plain; charset=utf-8", "deep\n"},
        {"/./a/./b/c.txt", "text/plain; charset=utf-8", "deep\n"},
        {"/a%20b.txt", "text/plain; charset=utf-8", "spaced\n"},
        // "+" is itself in a path; only "%20" is a blank.
        {"/x+y.txt", "text/plain; charset=utf-8", "plus\n"},
        {"/x%2By.txt", "text/plain; charset=utf-8", "plus\n"},
        {"/x%20y.txt", "text/plain; charset=utf-8", "blank\n"},
        {"/c++.txt", "text/plain; charset=utf-8", "cpp\n"},
        {"/a%2Fb/c.txt", "text/plain; charset=utf-8", "deep\n"},
        {"/photo.JPG", "image/jpeg", "jpeg"},
        {"/README", "application/octet-stream", "readme"},
        {"/build.2/README", "application/octet-stream", "r2"},
        {"/empty.txt", "text/plain; charset=utf-8", ""},
    };
    for (const file_case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(get(c.target),
                  expected_header(200, "OK", c.type, static_cast<long>(c.body.size())) + c.body);
    }
    // The type comes from the path as asked: a trailing slash hides the extension.
    EXPECT_EQ(get("/hello.txt/"),
              expected_header(200, "OK", "application/octet-stream", 6) + "hello\n");
    EXPECT_EQ(get("/a/b/c.txt//"),
              expected_header(200, "OK", "application/octet-stream", 5) + "deep\n");
}

TEST_F(files, head_gets_the_full_header_and_no_body)
{
    write_file(root + "/big.bin", std::string(100000, 'x'));
    EXPECT_EQ(get("/big.bin", "HEAD"),
              expected_header(200, "OK", "application/octet-stream", 100000));
    EXPECT_EQ(get("/empty.txt", "HEAD"),
              expected_header(200, "OK", "text/plain; charset=utf-8", 0));
}

TEST_F(files, refuses_what_the_walk_cannot_open)
{
    const std::string refused[] = {
        "/missing",
        "/hello.txt/x",
        "/a/b/missing.txt",
        "/link-to-file",
        "/link-to-dir/b/c.txt",
        "/link-to-dir",
        "/link-out",
        "/link-out-dir/secret.txt",
        "/link-up",
        "/" + std::string(256, 'n'),
        "/" + std::string(300, 'n') + "/x",
    };
    for (const std::string& target : refused) {
        SCOPED_TRACE(target.substr(0, 60));
        EXPECT_EQ(get(target), path_not_found);
    }
}

TEST_F(files, looks_up_names_of_up_to_255_bytes)
{
    for (std::size_t length : {254u, 255u}) {
        std::string name(length, 'L');
        write_file(root + "/" + name, "long");
        SCOPED_TRACE(length);
        EXPECT_EQ(get("/" + name),
                  expected_header(200, "OK", "application/octet-stream", 4) + "long");
    }
    EXPECT_EQ(get("/" + std::string(256, 'L')), path_not_found);
}

TEST_F(files, a_fifo_is_refused_at_once)
{
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0644), 0);
    ASSERT_EQ(mkfifo((root + "/pipe.txt").c_str(), 0644), 0);
    EXPECT_EQ(http_exchange(server.port, "GET /pipe HTTP/1.1\r\n\r\n", 3000), not_servable);
    EXPECT_EQ(http_exchange(server.port, "HEAD /pipe.txt HTTP/1.1\r\n\r\n", 3000),
              expected_error(404, "not found",
                             "the requested resource does not exist. perhaps you may have typed "
                             "the url wrong?",
                             true));
}

TEST_F(files, a_device_node_is_refused)
{
    if (mknod((root + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here (not root?)";
    int probe = open((root + "/null").c_str(), O_RDONLY);
    if (probe < 0)
        GTEST_SKIP() << "device nodes cannot be opened on this file system";
    close(probe);
    EXPECT_EQ(get("/null"), not_servable);
}

TEST_F(files, a_file_without_read_permission_is_not_found)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the server as an unprivileged user";
    write_file(root + "/locked.txt", "locked");
    chmod((root + "/locked.txt").c_str(), 0);
    write_file(root + "/private.txt", "root's own");
    chmod((root + "/private.txt").c_str(), 0600);
    ASSERT_EQ(mkdir((root + "/closed").c_str(), 0), 0);
    // Run as nobody, and started as root, which serves as nobody too.
    for (bool as_nobody : {true, false}) {
        SCOPED_TRACE(as_nobody ? "run as nobody" : "started as root");
        start({.as_nobody = as_nobody});
        EXPECT_EQ(get("/hello.txt"),
                  expected_header(200, "OK", "text/plain; charset=utf-8", 6) + "hello\n");
        EXPECT_EQ(get("/locked.txt"), path_not_found);
        EXPECT_EQ(get("/private.txt"), path_not_found);
        EXPECT_EQ(get("/closed/x"), path_not_found);
    }
}

// Sizes around the copy buffer, and large files whose client does not read
// at first, so that the worker hands the rest to the parent: with the
// file's pages in memory, and with them evicted, so that the parent sends
// only what it has asked the disk for and found in memory.
TEST_F(files, a_file_over_64_kib_arrives_complete_and_in_order)
{
    struct blob_case {
        std::size_t size;
        bool handed_back;
        bool cold;
    } const cases[] = {
        {65535u, false, false},
        {65536u, false, false},
        {65537u, false, false},
        {3u * 1024 * 1024 + 17, false, false},
        {6u * 1024 * 1024 + 5, true, false},
        {12u * 1024 * 1024 + 3, true, true},
    };
    for (const blob_case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string content = random_bytes(c.size, static_cast<unsigned>(c.size));
        std::string path = root + "/blob.bin";
        write_file(path, content);
        if (c.cold) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_EQ(fdatasync(fd), 0);
            ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
            close(fd);
        }
        int fd = connect_loopback(server.port);
        ASSERT_TRUE(send_all(fd, simple_request("/blob.bin")));
        if (c.handed_back) {
            EXPECT_TRUE(parent_holds_response(server, fd, 5000))
                << "the worker kept the download, or the parent holds none";
        }
        parsed_response r = parse_response(read_until_close(fd, 20000));
        close(fd);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.content_length, static_cast<long>(c.size));
        EXPECT_TRUE(r.body == content);
    }
}

TEST_F(files, a_sparse_file_over_4_gib_is_announced_and_sent_whole)
{
    const long long size = (5LL << 30) + 7;
    std::string path = root + "/sparse.bin";
    write_file(path, "");
    if (truncate(path.c_str(), size) != 0)
        GTEST_SKIP() << "this file system cannot hold a sparse 5 GiB file";
    int fd = connect_loopback(server.port);
    ASSERT_TRUE(send_all(fd, "GET /sparse.bin HTTP/1.1\r\n\r\n"));
    std::string head;
    long long body = 0;
    char buffer[1 << 16];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
            std::size_t i = 0;
            while (i < static_cast<std::size_t>(n) &&
                   (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0))
                head += buffer[i++];
            body += n - static_cast<long long>(i);
        } else {
            body += n;
        }
    }
    close(fd);
    EXPECT_EQ(head, expected_header(200, "OK", "application/octet-stream", size));
    EXPECT_EQ(body, size);
}

TEST_F(files, a_body_never_exceeds_its_content_length)
{
    // A file that grows while it is sent is cut at the size announced.
    std::string path = root + "/growing.log";
    const std::size_t size = 32u << 20;
    write_file(path, std::string(size, 'g'));
    int fd = connect_loopback(server.port);
    ASSERT_TRUE(send_all(fd, "GET /growing.log HTTP/1.1\r\n\r\n"));
    // Not reading yet: the worker fills the socket buffers and waits,
    // mid-file, while the file grows.
    usleep(200000);
    FILE* f = fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::string more(1 << 20, 'G');
    fwrite(more.data(), 1, more.size(), f);
    fclose(f);
    parsed_response r = parse_response(read_until_close(fd, 20000));
    close(fd);
    EXPECT_EQ(r.content_length, static_cast<long>(size));
    EXPECT_EQ(r.body.size(), size);
    EXPECT_EQ(r.body.find('G'), std::string::npos);
}

// A root replaced after start-up by another directory renamed over it is
// served at once. Replaced by a link, it serves nothing from outside the
// directory that holds it (the server, confined at start-up, may not read
// there), nor from a directory that only root may enter (the server
// serves as nobody and keeps no capability).
TEST(replaced_root, is_served_at_once_and_a_link_out_serves_nothing_from_there)
{
    bool landlock = syscall(SYS_landlock_create_ruleset, nullptr, 0, 1u) >= 1;
    struct {
        const char* what;
        const char* target;  // where the new root is, below the test's directory
        bool served;
        bool needs_landlock;
        bool needs_root;
    } const cases[] = {
        {"a directory renamed over it", nullptr, true, false, false},
        {"a link to a directory outside the one that holds it", "elsewhere", false, true, false},
        {"a link into a directory only root may enter", "holder/secret/www", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The sanitizer build leaves the server's own domain out.
        if ((c.needs_landlock && (!landlock || QUILLBARROW_SANITIZED)) ||
            (c.needs_root && geteuid() != 0))
            continue;
        std::string dir = make_temp_dir();
        std::string site = dir + "/holder/www";
        for (const char* made :
             {"/holder", "/holder/www", "/elsewhere", "/holder/secret", "/holder/secret/www"})
            ASSERT_EQ(mkdir((dir + made).c_str(), 0755), 0);
        write_file(site + "/hello.txt", "old\n");
        write_file(dir + "/elsewhere/hello.txt", "new\n");
        write_file(dir + "/holder/secret/www/hello.txt", "new\n");
        ASSERT_EQ(chmod((dir + "/holder/secret").c_str(), 0700), 0);
        server_process server;
        std::string why;
        ASSERT_TRUE(start_server(server, site, &why)) << why;
        ASSERT_EQ(rename(site.c_str(), (site + ".old").c_str()), 0);
        if (c.target == nullptr) {
            ASSERT_EQ(mkdir(site.c_str(), 0755), 0);
            write_file(site + "/hello.txt", "new\n");
        } else {
            ASSERT_EQ(symlink((dir + "/" + c.target).c_str(), site.c_str()), 0);
        }
        std::string served = http_exchange(server.port, simple_request("/hello.txt"));
        EXPECT_EQ(served, c.served
                              ? expected_header(200, "OK", "text/plain; charset=utf-8", 4) + "new\n"
                              : path_not_found);
        stop_server(server);
        remove_tree(dir);
    }
}

TEST_F(files, curl_downloads_a_large_file_intact)
{
    if (system("command -v curl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is not installed";
    std::string content = random_bytes(20u << 20, 7);
    write_file(root + "/large.bin", content);
    std::string out = outside + "/download.bin";
    std::string command =
        "curl -sSf -o '" + out + "' http://127.0.0.1:" + std::to_string(server.port) + "/large.bin";
    ASSERT_EQ(system(command.c_str()), 0);
    FILE* f = fopen(out.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::string downloaded(content.size() + 1, '\0');
    std::size_t n = fread(downloaded.data(), 1, downloaded.size(), f);
    fclose(f);
    downloaded.resize(n);
    EXPECT_TRUE(downloaded == content);
}

}  // namespace
