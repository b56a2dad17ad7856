#include "test_support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000;
}

namespace {

// A port below the kernel's ephemeral range (32768 on), where the client
// connections of a busy machine cannot take it between the check and the
// server's bind; one taken all the same makes the caller try another.
int free_port()
{
    static unsigned state = static_cast<unsigned>(getpid()) * 2654435761u;
    for (int tries = 0; tries < 100; ++tries) {
        state = state * 1103515245u + 12345u;
        int port = 20000 + static_cast<int>((state >> 8) % 12000);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (free)
            return port;
    }
    return 0;
}

// Reads from `fd` into `out` until a newline, end of stream or the deadline.
void read_line(int fd, std::string& out, long deadline)
{
    char c;
    while (now_ms() < deadline) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline - now_ms())) <= 0)
            return;
        if (read(fd, &c, 1) != 1 || c == '\n')
            return;
        out += c;
    }
}

std::vector<char*> as_argv(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Says on `fd` why the child could not become the server, so that a failed
// start reads as its cause rather than as a missing banner.
[[noreturn]] void fail_start(int fd, const char* what, const char* binary)
{
    dprintf(fd, "%s %s: %s\n", what, binary, strerror(errno));
    _exit(127);
}

void drop_to_nobody(int report_fd, const char* binary)
{
    if (geteuid() != 0)
        return;
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
        fail_start(report_fd, "cannot become nobody to run", binary);
}

// The unprivileged user may not reach the build tree (a checkout in a home
// directory of mode 0700, say), so it runs a copy from a directory of its
// own. Gives the copy's directory, or "" when the copy failed.
std::string copy_for_nobody(const char* binary, std::string* why)
{
    char dir[] = "/tmp/quillbarrow-bin-XXXXXX";
    if (mkdtemp(dir) == nullptr || chmod(dir, 0755) != 0) {
        *why = std::string("cannot make a directory for the binary: ") + strerror(errno);
        return "";
    }
    std::ifstream in(binary, std::ios::binary);
    std::ofstream out(std::string(dir) + "/quillbarrow", std::ios::binary);
    out << in.rdbuf();
    out.close();
    if (!in || !out || chmod((std::string(dir) + "/quillbarrow").c_str(), 0755) != 0) {
        *why = std::string("cannot copy ") + binary + " for the unprivileged user";
        remove_tree(dir);
        return "";
    }
    return dir;
}

}  // namespace

std::string read_line_from(int fd, int timeout_ms)
{
    std::string line;
    read_line(fd, line, now_ms() + timeout_ms);
    return line;
}

namespace {

bool start_binary(server_process& server, const std::string& root, std::string* why,
                  const launch& how)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        int port = free_port();
        int out[2], err[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (how.capture_output && pipe2(err, O_CLOEXEC) != 0))
            return false;
        std::vector<std::string> args = how.prefix;
        args.push_back(how.binary);
        args.push_back(how.port_prefix + std::to_string(port));
        if (how.root_argument)
            args.push_back(root);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            if (how.capture_output)
                dup2(err[1], 2);
            // Standard input as a terminal would be: something the server
            // could read, which it must put aside for /dev/null.
            int in[2];
            if (pipe(in) == 0)
                dup2(in[0], 0);
            if (!how.working_directory.empty() && chdir(how.working_directory.c_str()) != 0)
                fail_start(out[1], "cannot enter the working directory of", how.binary);
            struct rlimit files = {static_cast<rlim_t>(how.descriptor_limit),
                                   static_cast<rlim_t>(how.descriptor_limit)};
            if (how.descriptor_limit > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0)
                fail_start(out[1], "cannot limit the descriptors of", how.binary);
            if (how.as_nobody)
                drop_to_nobody(out[1], how.binary);
            std::vector<char*> argv = as_argv(args);
            execvp(argv[0], argv.data());
            fail_start(out[1], "cannot execute", argv[0]);
        }
        close(out[1]);
        if (how.capture_output)
            close(err[1]);
        std::string banner;
        read_line(out[0], banner, now_ms() + 10000);
        if (banner.rfind("quillbarrow serving ", 0) == 0) {
            server.pid = pid;
            server.port = port;
            server.banner = banner;
            if (how.capture_output) {
                server.out_fd = out[0];
                server.err_fd = err[0];
            } else {
                close(out[0]);
            }
            return true;
        }
        close(out[0]);
        if (how.capture_output)
            close(err[0]);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        *why = banner.empty() ? "no banner: the server printed nothing" : "no banner: " + banner;
        if (banner.rfind("cannot ", 0) == 0)
            return false;  // another port will not mend that
    }
    return false;
}

}  // namespace

bool start_server(server_process& server, const std::string& root, std::string* why,
                  const launch& how)
{
    std::string ignored;
    if (why == nullptr)
        why = &ignored;
    std::string copy_dir;
    if (how.as_nobody && geteuid() == 0) {
        copy_dir = copy_for_nobody(how.binary, why);
        if (copy_dir.empty())
            return false;
    }
    std::string copy = copy_dir.empty() ? how.binary : copy_dir + "/quillbarrow";
    launch copied = how;
    copied.binary = copy.c_str();
    bool started = start_binary(server, root, why, copied);
    // The running server keeps its own copy open: the file can go at once.
    remove_tree(copy_dir);
    return started;
}

std::string server_output(server_process& server)
{
    std::string text;
    for (int fd : {server.out_fd, server.err_fd}) {
        if (fd < 0)
            continue;
        char buffer[4096];
        for (;;) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 0) <= 0)
                break;
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return text;
}

void stop_server(server_process& server)
{
    for (int* fd : {&server.out_fd, &server.err_fd}) {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    if (server.pid > 0) {
        // SIGTERM stops the server gracefully: it waits for its workers. A
        // test is over, so the workers it left (a client that never read,
        // say) are ended by their ids, so that none outlives the test.
        kill(server.pid, SIGTERM);
        long deadline = now_ms() + 5000;
        while (waitpid(server.pid, nullptr, WNOHANG) == 0) {
            for (pid_t worker : children_of(server.pid))
                kill(worker, SIGKILL);
            if (now_ms() > deadline) {
                kill(server.pid, SIGKILL);
                waitpid(server.pid, nullptr, 0);
                break;
            }
            usleep(5000);
        }
    }
    server.pid = -1;
}

run_result run_binary(const std::vector<std::string>& args, int timeout_ms,
                      const std::string& working_directory, long descriptor_limit)
{
    run_result result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!working_directory.empty() && chdir(working_directory.c_str()) != 0)
            _exit(127);
        struct rlimit files = {static_cast<rlim_t>(descriptor_limit),
                               static_cast<rlim_t>(descriptor_limit)};
        if (descriptor_limit > 0 && setrlimit(RLIMIT_NOFILE, &files) != 0)
            _exit(127);
        std::vector<char*> argv = as_argv(args);
        execv(QUILLBARROW_BINARY, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    long deadline = now_ms() + timeout_ms;
    bool out_open = true, err_open = true;
    while ((out_open || err_open) && now_ms() < deadline) {
        struct pollfd p[2] = {{out_open ? out[0] : -1, POLLIN, 0},
                              {err_open ? err[0] : -1, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(deadline - now_ms())) <= 0)
            break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0)
                continue;
            ssize_t n = read(i == 0 ? out[0] : err[0], buf, sizeof buf);
            if (n <= 0)
                (i == 0 ? out_open : err_open) = false;
            else
                (i == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (now_ms() < deadline && waitpid(pid, &status, WNOHANG) == 0)
        usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0 || !WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    result.exit_status = WEXITSTATUS(status);
    return result;
}

int connect_loopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A server that accepts nothing must fail the test, not hang it: the
    // connect and every send give up after a few seconds.
    struct timeval limit = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string read_until_close(int fd, int timeout_ms)
{
    std::string out;
    long deadline = now_ms() + timeout_ms;
    char buf[65536];
    while (now_ms() < deadline) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline - now_ms())) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string http_exchange(int port, std::string_view request, int timeout_ms)
{
    int fd = connect_loopback(port);
    if (fd < 0)
        return "<connect failed>";
    if (!send_all(fd, request)) {
        close(fd);
        return "<request not sent>";
    }
    long start = now_ms();
    std::string response = read_until_close(fd, timeout_ms);
    close(fd);
    if (now_ms() - start >= timeout_ms)
        response += "<no end of the response within " + std::to_string(timeout_ms) + " ms>";
    return response;
}

std::string expected_header(int status, const std::string& reason, const std::string& type,
                            long length)
{
    return "HTTP/1.1 " + std::to_string(status) + " " + reason +
           "\r\nServer: quillbarrow/1.0\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
}

std::string expected_error(int status, const std::string& reason, const std::string& message,
                           bool head_only)
{
    std::string code = std::to_string(status);
    std::string page = "<!DOCTYPE html><html><head><title>" + code + " " + reason +
                       "</title></head><body><h1>" + code + " " + reason + "</h1><p>" + message +
                       "</p></body></html>\n";
    std::string header =
        expected_header(status, reason, "text/html; charset=utf-8", static_cast<long>(page.size()));
    return head_only ? header : header + page;
}

parsed_response parse_response(const std::string& raw)
{
    parsed_response r;
    std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.head = raw.substr(0, end + 4);
    r.body = raw.substr(end + 4);
    if (raw.rfind("HTTP/1.1 ", 0) == 0)
        r.status = std::atoi(raw.c_str() + 9);
    std::size_t at = r.head.find("\r\nContent-Length: ");
    if (at != std::string::npos)
        r.content_length = std::atol(r.head.c_str() + at + 18);
    at = r.head.find("\r\nContent-Type: ");
    if (at != std::string::npos) {
        std::size_t from = at + 16;
        r.content_type = r.head.substr(from, r.head.find("\r\n", from) - from);
    }
    return r;
}

std::string make_temp_dir()
{
    char name[] = "/tmp/quillbarrow-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        return "";
    chmod(name, 0755);
    return name;
}

void remove_tree(const std::string& path)
{
    if (path.empty())
        return;
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
            chmod(p, 0755);  // a test may have taken permissions away
            return remove(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string& path, std::string_view content)
{
    std::ofstream f(path, std::ios::binary);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
}

namespace {

// The server's forker, which forks its workers and lives as long as the
// server, is the child that ignores SIGTERM (a stop is the server's to
// make); it is not a worker. Until it has set that, it still blocks
// SIGTERM as the parent's loop does, which no worker ever does.
bool is_forker(const char* pid)
{
    std::ifstream status(std::string("/proc/") + pid + "/status");
    bool sigterm = false;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:", 0) == 0 || line.rfind("SigBlk:", 0) == 0)
            sigterm |= (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
    return sigterm;
}

}  // namespace

std::vector<pid_t> children_of(pid_t pid, bool zombies_only)
{
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    while (dirent* e = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // pid (comm) state ppid ...; comm may hold blanks, so parse from ')'.
        std::size_t close_paren = line.rfind(')');
        if (close_paren == std::string::npos || close_paren + 4 > line.size())
            continue;
        char state = line[close_paren + 2];
        long ppid = std::atol(line.c_str() + close_paren + 4);
        if (ppid == pid && (!zombies_only || state == 'Z') && !is_forker(e->d_name))
            children.push_back(static_cast<pid_t>(std::atol(e->d_name)));
    }
    closedir(proc);
    return children;
}

int count_children(pid_t pid, bool zombies_only)
{
    return static_cast<int>(children_of(pid, zombies_only).size());
}

int count_open_fds(pid_t pid)
{
    int count = 0;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

// Read from the kernel's table of connections rather than from the
// server's descriptors, which only root may read once it is not dumpable:
// a connection no process holds any more (closing, or in TIME_WAIT) has no
// inode there.
int count_held_connections(int port)
{
    char local_port[8];
    std::snprintf(local_port, sizeof local_port, ":%04X", static_cast<unsigned>(port));
    int held = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream lines(table);
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string field[10];
            for (std::string& f : field)
                fields >> f;
            if (field[1].ends_with(local_port) && field[3] != "0A" && field[9] != "0")
                ++held;
        }
    }
    return held;
}

bool parent_holds_response(const server_process& server, int client_fd, int timeout_ms)
{
    long deadline = now_ms() + timeout_ms;
    for (;; usleep(10000)) {
        int arrived = 0;
        (void)ioctl(client_fd, FIONREAD, &arrived);
        if (arrived > 0 && count_children(server.pid, false) == 0 &&
            count_held_connections(server.port) == 1)
            return true;
        if (now_ms() > deadline)
            return false;
    }
}

bool wait_for_no_children(const server_process& server, int timeout_ms)
{
    long deadline = now_ms() + timeout_ms;
    while (count_children(server.pid, false) > 0 || count_held_connections(server.port) > 0) {
        if (now_ms() > deadline)
            return false;
        usleep(20000);
    }
    return true;
}

std::string command_output(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::string simple_request(const std::string& target, const char* method)
{
    return std::string(method) + " " + target + " HTTP/1.1\r\n\r\n";
}
