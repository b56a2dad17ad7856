#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "request/request.h"
#include "sandbox/sandbox.h"
#include "common/time_limits.h"

namespace {

// Runs the stages of one request in order. Every stage either hands on to
// the next or gives the one error that the caller sends; nothing has been
// written to the client when an error comes back.
error_key answer_request(int conn_fd, const char* root, std::string_view head, bool& head_only)
{
    request_line line;
    error_key error = parse_request_line(head, line);
    head_only = line.head_only;
    if (error != error_key::none)
        return error;

    char path[path_buffer_size];
    error = decode_target(line.target, path);
    if (error == error_key::none)
        error = check_path(path);
    if (error != error_key::none)
        return error;

    unique_fd root_fd = open_root(root);
    if (!root_fd.valid())
        return error_key::path_not_found;
    confine_worker(root_fd.get());
    unique_fd object;
    error = walk_path(std::move(root_fd), path, object);
    if (error != error_key::none)
        return error;
    return serve_object(conn_fd, path, query_of(line.target), object.get(), head_only);
}

// Closing a socket with unread input makes the kernel reset the connection,
// and a reset can destroy the response before the client has read it. So
// the worker ends its side first, then reads and drops what the client still
// sends until it closes, or the time or byte limit runs out.
void drain_and_close(int conn_fd)
{
    ::shutdown(conn_fd, SHUT_WR);
    long deadline = monotonic_ms() + drain_time_ms;
    long left = drain_time_ms;
    long drained = 0;
    char sink[16384];
    while (drained < drain_max_bytes && left > 0) {
        struct pollfd p = {conn_fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        ssize_t got = ::read(conn_fd, sink, sizeof sink);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        drained += got;
        left = deadline - monotonic_ms();
    }
    ::close(conn_fd);
}

// A response given up on has nothing left to protect: the connection is
// reset, which also frees at once what the kernel still holds for it (up to
// megabytes of unsent data for a client that stopped reading).
void reset_and_close(int conn_fd)
{
    struct linger reset = {1, 0};
    (void)::setsockopt(conn_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(conn_fd);
}

}  // namespace

void handle_connection(int conn_fd, const server_config& config)
{
    // The parent keeps the listening socket; the worker needs only its
    // connection.
    ::close(config.listen_fd);

    char head[request_buffer_size];
    std::size_t received = read_request_head(conn_fd, head, head_deadline_ms);
    if (received == 0) {
        ::close(conn_fd);
        ::_exit(0);
    }

    bool head_only = false;
    error_key error =
        answer_request(conn_fd, config.root, std::string_view(head, received), head_only);
    if (error != error_key::none)
        send_error(conn_fd, error, head_only);
    if (response_dropped())
        reset_and_close(conn_fd);
    else
        drain_and_close(conn_fd);
    ::_exit(0);
}
