#include <cerrno>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"
#include "sandbox/sandbox.h"

namespace {

// Runs the stages of one request in order. Every stage either hands on to
// the next or gives the one error that the caller sends; nothing has been
// written to the client when an error comes back.
error_key answer_request(int conn_fd, unique_fd root_fd, std::string_view head, request_line& line)
{
    error_key error = parse_request_line(head, line);
    if (error != error_key::none)
        return error;

    char path[path_buffer_size];
    error = decode_target(line.target, path);
    if (error == error_key::none)
        error = check_path(path);
    if (error != error_key::none)
        return error;

    if (!root_fd.valid())
        return error_key::path_not_found;
    unique_fd object;
    error = walk_path(std::move(root_fd), path, object);
    if (error != error_key::none)
        return error;
    return serve_object(conn_fd, path, query_of(line.target), object.get(), line.head_only);
}

// Whether closing now could not reset the connection under the response:
// the head ended with its empty line and nothing followed it, the method
// sends no body, nothing more has arrived since, and the client has
// acknowledged every byte of the response (so a client that starts to send
// now cannot destroy any of it). Otherwise the worker lingers.
bool can_close_at_once(int conn_fd, std::string_view head, const request_line& line)
{
    if (head_length(head) != head.size() || (line.method != "GET" && line.method != "HEAD"))
        return false;
    int unacknowledged = 0;
    if (::ioctl(conn_fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged != 0)
        return false;
    char next;
    ssize_t queued = ::recv(conn_fd, &next, 1, MSG_DONTWAIT | MSG_PEEK);
    return queued == 0 || (queued < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

// Closing a socket with unread input makes the kernel reset the connection,
// and a reset can destroy the response before the client has read it. So
// the worker ends its side first, then reads and drops what the client still
// sends until it closes, or the time or byte limit runs out. That waiting is
// the parent's where it can take it: the worker hands the connection over.
void drain_and_close(int conn_fd)
{
    ::shutdown(conn_fd, SHUT_WR);
    if (hand_off_close(conn_fd)) {
        ::close(conn_fd);
        return;
    }
    long long deadline = monotonic_ms() + drain_time_ms;
    long long left = drain_time_ms;
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

void handle_connection(int conn_fd, const server_config& config, long long head_due_ms)
{
    // Confined before the first byte of the request is read, so that a
    // request which takes the parser over finds the kernel's limits already
    // in place. A root that cannot be opened leaves nothing to read, and is
    // answered once the request is known. Where the kernel refuses this
    // worker what a trial at start-up was granted, it does not serve
    // unconfined: the client is closed unanswered, as after a failed fork.
    // Started as root, it opens the root while it still may, and serves as
    // nobody; one that cannot become nobody does not serve.
    unique_fd root_fd = config.root_fd >= 0 ? unique_fd(config.root_fd) : open_root(config.root);
    if (!leave_root() || (!confine_worker(root_fd.get()) && landlock_enforced())) {
        ::close(conn_fd);
        ::_exit(unconfined_exit_status);
    }

    char head[request_buffer_size];
    std::size_t received = read_request_head(conn_fd, head, head_due_ms);
    if (received == 0) {
        ::close(conn_fd);
        ::_exit(0);
    }

    std::string_view head_text(head, received);
    request_line line;
    error_key error = answer_request(conn_fd, std::move(root_fd), head_text, line);
    if (error != error_key::none)
        send_error(conn_fd, error, line.head_only);
    // A connection handed to the parent is the parent's to close.
    bool handed_off = response_handed_off();
    if (!handed_off && response_dropped())
        reset_and_close(conn_fd);
    else if (handed_off || can_close_at_once(conn_fd, head_text, line))
        ::close(conn_fd);
    else
        drain_and_close(conn_fd);
    ::_exit(0);
}
