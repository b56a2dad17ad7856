#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "common/hand_off.h"
#include "common/time_limits.h"
#include "server/server.h"

// A worker does a request's work; the waiting on a slow client is the
// parent's, which holds a connection for a slot of its tables where a
// worker would be a whole process. A worker hands back what is left once
// its client cannot take more at once: the rest of a file, or only the
// lingering close. The parent trusts nothing in the message: a worker
// taken over by its request could send anything.

namespace {

// At most what one call sends: sendfile moves about 2 GiB at most, and the
// pages of each piece are looked at before it is sent.
constexpr long long piece_bytes = 1LL << 20;
// Asked of the disk at once when the next pages are not in memory.
constexpr off_t warm_bytes = 4LL << 20;

// The descriptors a message brought, all of them, whatever the sender
// claimed; -1 for none.
struct received_fds {
    int fds[2] = {-1, -1};
    int count = 0;
    bool extra = false;  // more than two

    void close_all()
    {
        for (int& fd : fds)
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
    }
};

void collect(struct msghdr& message, received_fds& fds, pid_t& sender)
{
    for (struct cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
         part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET)
            continue;
        if (part->cmsg_type == SCM_CREDENTIALS &&
            part->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            struct ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(part), sizeof credentials);
            sender = credentials.pid;
            continue;
        }
        if (part->cmsg_type != SCM_RIGHTS)
            continue;
        std::size_t count = (part->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(part) + i * sizeof(int), sizeof fd);
            if (fds.count < 2 && !fds.extra)
                fds.fds[fds.count++] = fd;
            else {
                fds.extra = true;
                ::close(fd);
            }
        }
    }
}

int socket_option(int fd, int option)
{
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &length) == 0 ? value : -1;
}

// A connected TCP socket, as the accept loop took it.
bool is_client_connection(int fd)
{
    int domain = socket_option(fd, SO_DOMAIN);
    return (domain == AF_INET || domain == AF_INET6) &&
           socket_option(fd, SO_PROTOCOL) == IPPROTO_TCP && socket_option(fd, SO_ACCEPTCONN) == 0;
}

bool is_range_of_file(int fd, const hand_off_message& range)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && range.offset >= 0 &&
           range.offset < range.end && range.end <= status.st_size;
}

}  // namespace

bool open_hand_off_channel(server_config& config)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
        return false;
    int one = 1;
    (void)::setsockopt(pair[0], SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
    config.hand_back_fd = pair[0];
    config.hand_off_fd = pair[1];
    return true;
}

hand_back_state receive_hand_back(int channel, hand_back& out)
{
    hand_off_message range = {};
    struct iovec data = {&range, sizeof range};
    alignas(struct cmsghdr) char
        control[CMSG_SPACE(2 * sizeof(int)) + CMSG_SPACE(sizeof(struct ucred))];
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = ::recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return hand_back_state::none;
    received_fds fds;
    pid_t sender = 0;
    collect(message, fds, sender);
    bool whole = got == static_cast<ssize_t>(sizeof range) &&
                 (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 && !fds.extra &&
                 fds.count >= 1 && sender > 0 && is_client_connection(fds.fds[0]);
    bool with_file = whole && fds.count == 2;
    if (!whole || (with_file && !is_range_of_file(fds.fds[1], range)) ||
        (!with_file && (range.offset != 0 || range.end != 0))) {
        fds.close_all();
        return hand_back_state::refused;
    }
    out = {sender, fds.fds[0], fds.fds[1], range.offset, range.end};
    return hand_back_state::taken;
}

int unacknowledged_bytes(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

void reset_connection(int fd)
{
    struct linger reset = {1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

namespace {

// Whether the byte at `offset` is in memory: a read that may not wait for
// the disk says so. A file system that cannot tell (the worker kept such a
// file) is taken at its word.
bool byte_in_memory(int fd, long long offset)
{
    char byte;
    struct iovec one = {&byte, 1};
    ssize_t got = ::preadv2(fd, &one, 1, offset, RWF_NOWAIT);
    return got >= 0 || errno != EAGAIN;
}

long long next_piece(const connection_slot& slot)
{
    long long left = slot.end - slot.offset;
    return left < piece_bytes ? left : piece_bytes;
}

}  // namespace

// The first and the last page of the next piece: the kernel reads a file
// in ahead in runs, so a piece whose ends are in memory is in memory.
bool rest_is_warm(const connection_slot& slot)
{
    long long piece = next_piece(slot);
    return byte_in_memory(slot.file_fd, slot.offset) &&
           byte_in_memory(slot.file_fd, slot.offset + piece - 1);
}

send_state send_rest(int fd, connection_slot& slot)
{
    while (slot.offset < slot.end) {
        if (!rest_is_warm(slot)) {
            (void)::posix_fadvise(slot.file_fd, slot.offset, warm_bytes, POSIX_FADV_WILLNEED);
            return send_state::cold;
        }
        off_t offset = slot.offset;
        ssize_t sent =
            ::sendfile(fd, slot.file_fd, &offset, static_cast<std::size_t>(next_piece(slot)));
        if (sent > 0) {
            slot.offset = offset;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return send_state::blocked;
        // The file ended early: the client sees the connection close
        // short of its Content-Length, as when a worker sends it.
        return sent == 0 ? send_state::done : send_state::failed;
    }
    return send_state::done;
}

bool drain_input(int fd, connection_slot& slot, long long now)
{
    char* sink = client_byte_buffer();
    while (slot.drained < drain_max_bytes) {
        ssize_t got = ::read(fd, sink, client_bytes_size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return now - slot.since_ms >= drain_time_ms;
        if (got <= 0)
            return true;
        slot.drained += got;
    }
    return true;
}
