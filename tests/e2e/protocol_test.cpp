#include <gtest/gtest.h>

#include <string>
#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "test_support.h"

namespace {

class protocol : public ::testing::Test {
protected:
    void SetUp() override { start(QUILLBARROW_BINARY); }
    void TearDown() override
    {
        stop_server(server);
        remove_tree(root);
    }
    void start(const char* binary)
    {
        stop_server(server);
        if (root.empty()) {
            root = make_temp_dir();
            write_file(root + "/hello.txt", "hello\n");
        }
        std::string why;
        ASSERT_TRUE(start_server(server, root, &why, {.binary = binary})) << why;
    }
    std::string send(std::string_view request) { return http_exchange(server.port, request); }

    std::string root;
    server_process server;
};

const std::string hello_response =
    "HTTP/1.1 200 OK\r\nServer: quillbarrow/1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 6\r\nConnection: close\r\n\r\nhello\n";

const std::string bad_line = expected_error(400, "bad request", "malformed request line.");
const std::string not_implemented =
    expected_error(501, "not implemented", "only get and head (heh, head) are supported.");
const std::string bad_encoding = expected_error(400, "bad request", "invalid percent-encoding.");
const std::string forbidden =
    expected_error(403, "forbidden", "you are not allowed to view this content.");
const std::string not_found = expected_error(
    404, "not found", "the requested resource does not exist. perhaps you typed the url wrong?");
const std::string too_long = expected_error(414, "uri too long", "the requested url is too long.");

struct wire_case {
    std::string request;
    std::string response;
};

TEST_F(protocol, answers_each_request_with_its_exact_bytes)
{
    const std::string target_4095 = "/" + std::string(4094, 'a');
    const wire_case cases[] = {
        {"GET /hello.txt HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n", hello_response},
        {"GET /hello.txt HTTP/1.1\n\n", hello_response},
        {"GET /hello.txt\r\nHost: x\r\n\r\n", hello_response},
        {"GET /hello.txt?x=1#frag HTTP/1.1\r\n\r\n", hello_response},
        {"GET /hello.txt HTTP/1.1\r\n\r\nGET /other HTTP/1.1\r\n\r\n", hello_response},
        {"GET /hello.txt\r\n\r\n", bad_line},
        {"GET\r\n\r\n", bad_line},
        {"\r\n\r\n", bad_line},
        {"DELETE /hello.txt\r\n\r\n", bad_line},
        {"get /hello.txt HTTP/1.1\r\n\r\n", not_implemented},
        {"POST / HTTP/1.1\r\n\r\n", not_implemented},
        {"PUT / HTTP/1.1\r\n\r\n", not_implemented},
        {"OPTIONS * HTTP/1.1\r\n\r\n", not_implemented},
        {"DELETE / HTTP/1.1\r\n\r\n", not_implemented},
        {"GETGETGETGETGETGET /hello.txt HTTP/1.1\r\n\r\n", not_implemented},
        {"GET /hello.txt HTTP/1.1-and-a-very-long-version\r\n\r\n", hello_response},
        {"GET /%zz HTTP/1.1\r\n\r\n", bad_encoding},
        {"GET /hello.txt%00.png HTTP/1.1\r\n\r\n", bad_encoding},
        {"GET /%zz/.. HTTP/1.1\r\n\r\n", bad_encoding},
        {"GET /../etc/passwd HTTP/1.1\r\n\r\n", forbidden},
        {"GET /%2e%2e/x HTTP/1.1\r\n\r\n", forbidden},
        {"GET /a%5Cb HTTP/1.1\r\n\r\n", forbidden},
        {"GET * HTTP/1.1\r\n\r\n", forbidden},
        {"GET http://127.0.0.1/hello.txt HTTP/1.1\r\n\r\n", forbidden},
        {"GET ?x HTTP/1.1\r\n\r\n", forbidden},
        {"GET /x?y=/../../z HTTP/1.1\r\n\r\n", not_found},
        {"GET /missing HTTP/1.1\r\n\r\n", not_found},
        {"GET " + target_4095 + " HTTP/1.1\r\n\r\n", not_found},
        {"GET " + target_4095 + "a HTTP/1.1\r\n\r\n", too_long},
        {"GET " + target_4095 + "a\r\n\r\n", bad_line},
        {"POST " + target_4095 + "a HTTP/1.1\r\n\r\n", not_implemented},
        {"HEAD /missing HTTP/1.1\r\n\r\n",
         expected_error(404, "not found",
                        "the requested resource does not exist. perhaps you typed the url wrong?",
                        true)},
        {"HEAD " + target_4095 + "a HTTP/1.1\r\n\r\n",
         expected_error(414, "uri too long", "the requested url is too long.", true)},
        {"HEAD /%zz HTTP/1.1\r\n\r\n",
         expected_error(400, "bad request", "invalid percent-encoding.", true)},
        {"HEAD /hello.txt HTTP/1.1\r\n\r\n", hello_response.substr(0, hello_response.size() - 6)},
    };
    for (const wire_case& c : cases) {
        SCOPED_TRACE(c.request.substr(0, 70));
        EXPECT_EQ(send(c.request), c.response);
    }
}

std::string run_curl(const std::string& arguments)
{
    return command_output("curl -s -i " + arguments);
}

TEST_F(protocol, curl_gets_the_exact_error_pages)
{
    if (system("command -v curl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is not installed";
    std::string base = "http://127.0.0.1:" + std::to_string(server.port);
    EXPECT_EQ(run_curl("--path-as-is '" + base + "/%zz'"), bad_encoding);
    EXPECT_EQ(run_curl("-X POST '" + base + "/hello.txt'"), not_implemented);
    EXPECT_EQ(run_curl("'" + base + "/" + std::string(5000, 'u') + "'"), too_long);
    EXPECT_EQ(run_curl("--path-as-is '" + base + "/../x'"), forbidden);
    EXPECT_EQ(run_curl("'" + base + "/hello.txt'"), hello_response);
}

TEST_F(protocol, the_501_page_names_its_status_and_reason)
{
    parsed_response r = parse_response(send("DELETE / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(r.status, 501);
    EXPECT_NE(r.body.find("<title>501 not implemented</title>"), std::string::npos);
    EXPECT_NE(r.body.find("<h1>501 not implemented</h1>"), std::string::npos);
    EXPECT_EQ(r.content_length, static_cast<long>(r.body.size()));
}

TEST_F(protocol, a_head_that_arrives_byte_by_byte_is_answered)
{
    int fd = connect_loopback(server.port);
    ASSERT_GE(fd, 0);
    for (char c : std::string("GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n")) {
        ASSERT_TRUE(send_all(fd, std::string_view(&c, 1)));
        usleep(2000);
    }
    EXPECT_EQ(read_until_close(fd), hello_response);
    close(fd);
}

TEST_F(protocol, a_head_ended_by_end_of_stream_is_still_answered)
{
    int fd = connect_loopback(server.port);
    ASSERT_TRUE(send_all(fd, "GET /hello.txt HTTP/1.1\r\nHost: x"));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_until_close(fd), hello_response);
    close(fd);
}

TEST_F(protocol, a_zero_byte_hides_the_end_of_the_head_until_the_stream_ends)
{
    int fd = connect_loopback(server.port);
    ASSERT_TRUE(send_all(fd, std::string("GET /hello.txt HTTP/1.1\0\r\n\r\n", 28)));
    // The server is still waiting for the end of the head: nothing comes back.
    EXPECT_EQ(read_until_close(fd, 300), "");
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_until_close(fd), hello_response);
    close(fd);
}

TEST_F(protocol, a_head_over_the_buffer_is_parsed_from_its_start)
{
    // 20000 bytes and no empty line: the first 16383 are the head, and the
    // rest, never read, must not cost the client its response.
    std::string request = "GET /hello.txt HTTP/1.1\r\nX-Filler: " + std::string(20000, 'a');
    EXPECT_EQ(send(request), hello_response);
}

TEST_F(protocol, a_large_request_body_does_not_cost_the_response)
{
    std::string request =
        "POST /upload HTTP/1.1\r\nContent-Length: 1048576\r\n\r\n" + std::string(1048576, 'b');
    EXPECT_EQ(send(request), not_implemented);
    std::string get =
        "GET /hello.txt HTTP/1.1\r\nContent-Length: 300000\r\n\r\n" + std::string(300000, 'c');
    EXPECT_EQ(send(get), hello_response);
}

struct linger_case {
    std::string request;
    bool lingers;
};

// The server lingers after its response only when the client may still be
// sending; otherwise it closes at once, without waiting for the client.
// The lingering is the parent's: the worker ends either way.
TEST_F(protocol, a_worker_lingers_only_while_the_client_may_still_send)
{
    const linger_case cases[] = {
        {"GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n", false},
        {"HEAD /hello.txt HTTP/1.1\r\n\r\n", false},
        {"GET /missing HTTP/1.1\n\n", false},
        {"GET /hello.txt HTTP/1.1\r\n\r\nGET /again HTTP/1.1\r\n\r\n", true},
        {"GET /hello.txt HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", true},
        {"POST /hello.txt HTTP/1.1\r\n\r\n", true},
        {"GET /hello.txt\r\n\r\n", false},  // a 400 for a GET
    };
    for (const linger_case& c : cases) {
        SCOPED_TRACE(c.request);
        int fd = connect_loopback(server.port);
        ASSERT_TRUE(send_all(fd, c.request));
        // The whole response arrives (the worker half-closes or closes), and
        // the client keeps its end open and sends nothing more.
        EXPECT_EQ(read_until_close(fd).rfind("HTTP/1.1 ", 0), 0u);
        bool ended = wait_for_no_children(server, 500);
        EXPECT_EQ(ended, !c.lingers);
        EXPECT_EQ(count_children(server.pid, false), 0) << "a worker lingers";
        close(fd);
        ASSERT_TRUE(wait_for_no_children(server, 5000));
    }
}

TEST_F(protocol, a_client_that_floods_while_a_large_body_arrives_gets_all_of_it)
{
    const std::size_t size = 8u << 20;
    write_file(root + "/large.bin", std::string(size, 'L'));
    // A small receive window keeps most of what is in flight on the
    // server's side, unacknowledged.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int window = 16384;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(server.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(send_all(fd, "GET /large.bin HTTP/1.1\r\n\r\n"));
    // Read all but the last MiB, then pause: the worker hands that MiB to
    // the kernel and is done sending while it is still on its way. Junk
    // sent now must not reset the connection under it.
    std::string received;
    char buffer[65536];
    while (received.size() < size - (1u << 20)) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        received.append(buffer, static_cast<std::size_t>(n));
    }
    usleep(300000);
    EXPECT_TRUE(send_all(fd, std::string(1u << 20, 'j')));
    received += read_until_close(fd);
    close(fd);
    parsed_response r = parse_response(received);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.size(), size);
}

TEST_F(protocol, a_client_that_closes_at_once_gets_nothing_and_harms_nothing)
{
    for (int i = 0; i < 20; ++i) {
        int fd = connect_loopback(server.port);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    int fd = connect_loopback(server.port);
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_until_close(fd), "");
    close(fd);
    // A client that leaves right after its request does not kill the worker
    // noisily, and the server goes on.
    for (int i = 0; i < 20; ++i) {
        int c = connect_loopback(server.port);
        send_all(c, "GET /hello.txt HTTP/1.1\r\n\r\n");
        close(c);
    }
    EXPECT_EQ(send("GET /hello.txt HTTP/1.1\r\n\r\n"), hello_response);
}

TEST_F(protocol, finished_workers_leave_no_zombies_and_no_descriptors)
{
    int fds_before = count_open_fds(server.pid);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(send("GET /hello.txt HTTP/1.1\r\n\r\n"), hello_response) << "request " << i;
    ASSERT_TRUE(wait_for_no_children(server, 10000));
    EXPECT_EQ(count_children(server.pid, true), 0);
    EXPECT_EQ(count_open_fds(server.pid), fds_before);
}

// Downloads at the real stall limit (30 s), side by side: a client that
// reads steadily but slowly takes something every second, however full the
// queue to it, and is never cut; one that never reads is dropped 30 s after
// it stopped taking anything. Not on the short-limit build: over loopback a
// segment is 64 KiB, and a reader of 32 KiB/s opens its window by one only
// every two seconds, longer than the short limit.
struct reader_case {
    const char* what;
    long bytes_per_second;  // 0: never reads
};

constexpr long window_ms = 75000;
constexpr long real_stall_ms = 30000;

TEST_F(protocol, a_slow_steady_download_is_never_cut_and_a_stopped_one_is_at_the_stall_limit)
{
    const reader_case readers[] = {
        {"8 KiB/s", 8 * 1024},
        {"32 KiB/s", 32 * 1024},
        {"never reads", 0},
    };
    constexpr std::size_t count = sizeof readers / sizeof readers[0];
    std::string file(20u << 20, '\0');
    unsigned state = 12345;
    for (char& c : file)
        c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    write_file(root + "/big.bin", file);
    const std::string header =
        expected_header(200, "OK", "application/octet-stream", static_cast<long>(file.size()));

    int fds[count];
    std::string received[count];
    long ended_at[count];
    // The clock starts before any request, so it cannot be ahead of the
    // server's.
    long start = now_ms();
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = connect_loopback(server.port);
        ASSERT_GE(fds[i], 0);
        ASSERT_TRUE(send_all(fds[i], "GET /big.bin HTTP/1.1\r\n\r\n"));
        ended_at[i] = -1;
    }
    for (long elapsed = 0; elapsed < window_ms; elapsed = now_ms() - start) {
        usleep(100000);
        for (std::size_t i = 0; i < count; ++i) {
            if (ended_at[i] >= 0)
                continue;
            tcp_info info{};
            socklen_t size = sizeof info;
            if (readers[i].bytes_per_second == 0) {
                // It reads nothing, so only the state tells the reset.
                getsockopt(fds[i], IPPROTO_TCP, TCP_INFO, &info, &size);
                if (info.tcpi_state == TCP_CLOSE)
                    ended_at[i] = elapsed;
                continue;
            }
            long due = readers[i].bytes_per_second * elapsed / 1000 -
                       static_cast<long>(received[i].size());
            char buffer[8192];
            while (due > 0) {
                ssize_t got =
                    recv(fds[i], buffer, std::min<long>(due, sizeof buffer), MSG_DONTWAIT);
                if (got > 0) {
                    received[i].append(buffer, static_cast<std::size_t>(got));
                    due -= got;
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                    ended_at[i] = elapsed;
                break;
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(readers[i].what);
        close(fds[i]);
        if (readers[i].bytes_per_second == 0) {
            EXPECT_GE(ended_at[i], real_stall_ms) << "dropped before the stall limit";
            EXPECT_LE(ended_at[i], real_stall_ms + 2000) << "not dropped at the stall limit";
            continue;
        }
        EXPECT_EQ(ended_at[i], -1)
            << "cut after " << ended_at[i] << " ms, having read " << received[i].size() << " bytes";
        // It was sent to all the way through: it read what it planned to.
        EXPECT_GE(static_cast<long>(received[i].size()),
                  readers[i].bytes_per_second * (window_ms - 2000) / 1000);
        ASSERT_GT(received[i].size(), header.size());
        EXPECT_EQ(received[i].substr(0, header.size()), header);
        EXPECT_TRUE(received[i].compare(header.size(), std::string::npos, file, 0,
                                        received[i].size() - header.size()) == 0)
            << "the bytes are not the file's";
    }
}

// The tests below use the build whose head deadline and write stall limit
// are 1.5 seconds instead of 20 and 30. Each checks that the limit ends
// things after the limit and not much later.

constexpr long short_limit_ms = 1500;
constexpr long margin_ms = 500;

long elapsed_ms_since(const timespec& start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000;
}

timespec clock_now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

TEST_F(protocol, a_silent_client_is_closed_after_the_head_deadline_without_an_answer_or_a_worker)
{
    // The kernel keeps a connection that sends nothing back from the
    // server for the head deadline, in whole seconds (2) and then in its
    // SYN-ACK retransmissions (1 s, then 2 s more): about 3 s. The server
    // then closes it at once, and no worker was ever made for it.
    constexpr long deferral_ms = 3000;
    start(QUILLBARROW_SHORT_LIMITS_BINARY);
    timespec connected = clock_now();
    int fd = connect_loopback(server.port);
    std::string received = "(nothing yet)";
    int workers_seen = 0;
    while (received == "(nothing yet)" && elapsed_ms_since(connected) < 10000) {
        workers_seen += count_children(server.pid, false);
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0)
            received = read_until_close(fd, 1000);
    }
    long closed_after = elapsed_ms_since(connected);
    EXPECT_EQ(received, "");
    EXPECT_EQ(workers_seen, 0);
    EXPECT_GE(closed_after, short_limit_ms);
    EXPECT_LE(closed_after, deferral_ms + margin_ms);
    close(fd);
}

TEST_F(protocol, a_partial_head_is_answered_at_the_head_deadline)
{
    start(QUILLBARROW_SHORT_LIMITS_BINARY);
    timespec connected = clock_now();
    int fd = connect_loopback(server.port);
    ASSERT_TRUE(send_all(fd, "GET /hello.txt HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_EQ(read_until_close(fd, 10000), hello_response);
    long answered_after = elapsed_ms_since(connected);
    EXPECT_GE(answered_after, short_limit_ms);
    EXPECT_LE(answered_after, short_limit_ms + margin_ms);
    close(fd);
}

TEST_F(protocol, a_trickling_client_cannot_hold_a_worker)
{
    start(QUILLBARROW_SHORT_LIMITS_BINARY);
    timespec connected = clock_now();
    int fd = connect_loopback(server.port);
    // After the request line, one byte every 100 ms would take 4 seconds for
    // the rest of this head; the deadline ends it after 1.5, and the worker
    // answers what it has.
    ASSERT_TRUE(send_all(fd, "GET /hello.txt HTTP/1.1\r\n"));
    std::string head = "X-Slow: " + std::string(30, 'z') + "\r\n\r\n";
    std::string response;
    for (std::size_t sent = 0; sent < head.size() && response.empty(); ++sent) {
        send_all(fd, std::string_view(&head[sent], 1));
        response = read_until_close(fd, 100);
    }
    long answered_after = elapsed_ms_since(connected);
    response += read_until_close(fd);
    EXPECT_EQ(response, hello_response);
    EXPECT_GE(answered_after, short_limit_ms);
    EXPECT_LE(answered_after, short_limit_ms + margin_ms);
    close(fd);
}

TEST_F(protocol, a_client_that_stops_reading_is_dropped_after_the_write_stall)
{
    start(QUILLBARROW_SHORT_LIMITS_BINARY);
    const long size = 64L << 20;
    write_file(root + "/big.bin", "");
    ASSERT_EQ(truncate((root + "/big.bin").c_str(), size), 0);

    int fd = connect_loopback(server.port);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(send_all(fd, "GET /big.bin HTTP/1.1\r\n\r\n"));
    // The buffers between the two fill within milliseconds of the request;
    // that is the last progress. Never reading, the client stalls the
    // download, which the parent holds once the worker has handed it back,
    // and it must be given up one stall limit later, not several.
    timespec requested = clock_now();
    ASSERT_TRUE(parent_holds_response(server, fd, 1000))
        << "the worker kept the download, or the parent holds none";
    ASSERT_TRUE(wait_for_no_children(server, 10000));
    long ended_after = elapsed_ms_since(requested);
    EXPECT_GE(ended_after, short_limit_ms);
    EXPECT_LE(ended_after, 2 * short_limit_ms);
    // What arrived is the start of the response, cut short by a reset.
    std::string received = read_until_close(fd, 5000);
    EXPECT_LT(static_cast<long>(received.size()), size);
    EXPECT_EQ(received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    close(fd);
}

}  // namespace
