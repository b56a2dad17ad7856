#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/hand_off.h"
#include "response/response.h"

namespace {

constexpr std::size_t copy_buffer_size = 65536;

// Copies through a fixed buffer, for files that sendfile cannot send.
void copy_body(int conn_fd, int fd, off_t offset, off_t remaining)
{
    char buffer[copy_buffer_size];
    while (remaining > 0) {
        std::size_t want = remaining < static_cast<off_t>(sizeof buffer)
                               ? static_cast<std::size_t>(remaining)
                               : sizeof buffer;
        ssize_t got = ::pread(fd, buffer, want, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        if (!write_all(conn_fd, buffer, static_cast<std::size_t>(got)))
            return;
        offset += got;
        remaining -= got;
    }
}

// Sends exactly the `size` bytes announced in the header, never more: a
// file that grows meanwhile is cut there, one that shrinks ends early (the
// client then sees the connection close short of the Content-Length).
void send_body(int conn_fd, int fd, off_t size)
{
    off_t offset = 0;
    bool tried_hand_off = false;
    while (offset < size) {
        // sendfile moves at most about 2 GiB per call.
        off_t left = size - offset;
        std::size_t count = left < (off_t{1} << 30) ? static_cast<std::size_t>(left) : (1u << 30);
        ssize_t sent = ::sendfile(conn_fd, fd, &offset, count);
        if (sent > 0) {
            note_send_progress();
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The client cannot take more at once: the waiting is the
            // parent's, unless it cannot have it.
            if (!tried_hand_off && hand_off_body(conn_fd, fd, offset, size))
                return;
            tried_hand_off = true;
            if (!wait_writable(conn_fd))
                return;
            continue;
        }
        if (sent < 0 && (errno == EINVAL || errno == ENOSYS) && offset == 0) {
            copy_body(conn_fd, fd, 0, size);
            return;
        }
        // The file ended early or could not be read, or the client is gone;
        // the drain that follows finds out which.
        return;
    }
}

}  // namespace

void serve_file(int conn_fd, std::string_view name, int fd, const struct stat& status,
                bool head_only)
{
    bool has_body = !head_only && status.st_size > 0;
    send_header(conn_fd, 200, "OK", content_type_for(name), static_cast<long long>(status.st_size),
                has_body);
    if (!has_body)
        return;
    // The header and a page may fill the larger queue the connection
    // started with; a file's body is kept to a small one from its first
    // byte, so that a download that waits on its client holds little.
    if (status.st_size > body_unsent_limit)
        (void)::setsockopt(conn_fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &body_unsent_limit,
                           sizeof body_unsent_limit);
    if (hands_off_at_once() && hand_off_body(conn_fd, fd, 0, status.st_size))
        return;
    send_body(conn_fd, fd, status.st_size);
}
