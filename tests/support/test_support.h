#pragma once

// Helpers for tests that run the real binary over real loopback sockets.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct server_process {
    pid_t pid = -1;
    int port = 0;
    std::string banner;  // the first line on standard output, without its newline
    int out_fd = -1;     // the rest of standard output, with capture_output
    int err_fd = -1;     // standard error, with capture_output
};

// How a test starts the server: every way the tests launch it.
struct launch {
    const char* binary = QUILLBARROW_BINARY;
    // A command the binary runs under, given the binary and its arguments:
    // prlimit, strace, unshare, a shell that joins a cgroup.
    std::vector<std::string> prefix = {};
    std::string working_directory = {};  // empty: the test's own
    long descriptor_limit = 0;           // the server's open-file limit; 0: the test's own
    bool as_nobody = false;              // when running as root: drop to nobody first
    bool capture_output = false;         // keep what it prints after the banner (server_output)
    std::string port_prefix = {};        // text before the port on the command line ("+", "  ")
    bool root_argument = true;           // false: no root argument, it serves its working directory
};

// Starts the server serving `root` on a free loopback port (outside the
// kernel's ephemeral range, another when it is taken) and waits for the
// banner. Without capture_output, standard error is the test's own.
// Returns false, with the reason in `why`, when it did not come up.
bool start_server(server_process& server, const std::string& root, std::string* why,
                  const launch& how = {});
// What a capturing server has printed on either stream so far.
std::string server_output(server_process& server);
void stop_server(server_process& server);

struct run_result {
    int exit_status = -1;  // -1 when it did not end in time
    std::string out;
    std::string err;
};

// Runs the binary with `args` (argv[0] is `args[0]`), waiting at most
// `timeout_ms` for it to end, and kills it if it has not; with a
// descriptor limit (soft and hard) where one is given.
run_result run_binary(const std::vector<std::string>& args, int timeout_ms,
                      const std::string& working_directory = "", long descriptor_limit = 0);

// Milliseconds of CLOCK_MONOTONIC.
long now_ms();
int connect_loopback(int port);
bool send_all(int fd, std::string_view data);
// Reads until the peer closes or `timeout_ms` passes.
std::string read_until_close(int fd, int timeout_ms = 5000);
// Reads one line (without its newline) from `fd`, waiting at most `timeout_ms`.
std::string read_line_from(int fd, int timeout_ms);
// Runs a shell command and gives its standard output.
std::string command_output(const std::string& command);
// A request with the given method and target, as HTTP/1.1 with no headers.
std::string simple_request(const std::string& target, const char* method = "GET");
// Connects, sends `request`, and reads the whole response.
std::string http_exchange(int port, std::string_view request, int timeout_ms = 5000);

// The exact bytes of the header the server sends.
std::string expected_header(int status, const std::string& reason, const std::string& type,
                            long length);
// The exact bytes of an error response, built independently of the server.
std::string expected_error(int status, const std::string& reason, const std::string& message,
                           bool head_only = false);

struct parsed_response {
    std::string head;  // up to and including the empty line
    std::string body;
    int status = 0;
    long content_length = -1;
    std::string content_type;
};
parsed_response parse_response(const std::string& raw);

// A fresh temporary directory (mode 0755) removed by remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& path);
void write_file(const std::string& path, std::string_view content);

// Processes whose parent is `pid`, but a server's forker; with
// `zombies_only`, only the zombies.
std::vector<pid_t> children_of(pid_t pid, bool zombies_only = false);
int count_children(pid_t pid, bool zombies_only);
// The connections to `port` (not its listening socket) that a process
// still holds: the server's parent or its workers.
int count_held_connections(int port);
// Waits up to `timeout_ms` for the response on `client_fd` to be the
// parent's: begun (bytes have come), no worker left, and the connection
// still held.
bool parent_holds_response(const server_process& server, int client_fd, int timeout_ms);
// Waits up to `timeout_ms` for `server` to be at rest: no worker left, and
// no connection held (the parent finishes what workers hand it).
bool wait_for_no_children(const server_process& server, int timeout_ms);
int count_open_fds(pid_t pid);

// A fixture base: a fresh temporary tree, served by the real binary once the
// fixture's SetUp has filled it and called start().
class served_tree : public ::testing::Test {
protected:
    void TearDown() override
    {
        stop_server(server);
        remove_tree(root);
    }
    void start(const launch& how = {})
    {
        stop_server(server);
        std::string why;
        ASSERT_TRUE(start_server(server, root, &why, how)) << why;
    }
    std::string get(const std::string& target, const char* method = "GET")
    {
        return http_exchange(server.port, simple_request(target, method));
    }

    std::string root = make_temp_dir();
    server_process server;
};
