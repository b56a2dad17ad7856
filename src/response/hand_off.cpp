#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/uio.h>

#include "common/hand_off.h"
#include "response/response.h"

// A worker ends once its client cannot take more at once: the parent, which
// holds a connection for a few bytes of its tables, sends the rest at the
// client's pace and does the lingering close.

namespace {

int channel = -1;
bool at_once = false;
bool handed_off = false;

bool send_hand_off(int conn_fd, int file_fd, long long offset, long long end)
{
    if (channel < 0)
        return false;
    hand_off_message range = {offset, end};
    struct iovec data = {&range, sizeof range};
    int fds[2] = {conn_fd, file_fd};
    std::size_t count = file_fd >= 0 ? 2 : 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(count * sizeof(int));
    struct cmsghdr* rights = CMSG_FIRSTHDR(&message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(rights), fds, count * sizeof(int));
    // Never waits: with the channel full, the worker serves on itself.
    ssize_t sent;
    do
        sent = ::sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    handed_off = sent == static_cast<ssize_t>(sizeof range);
    return handed_off;
}

}  // namespace

void set_hand_off_channel(int fd, bool hand_off_at_once)
{
    channel = fd;
    at_once = hand_off_at_once;
}

bool hands_off_at_once()
{
    return at_once;
}

namespace {

// A file system whose files are all in memory, so that no read waits.
bool lives_in_memory(int fd)
{
    constexpr long tmpfs_magic = 0x01021994;
    constexpr long ramfs_magic = 0x858458f6;
    struct statfs status;
    return ::fstatfs(fd, &status) == 0 &&
           (status.f_type == tmpfs_magic || status.f_type == ramfs_magic);
}

}  // namespace

bool hand_off_body(int conn_fd, int file_fd, long long offset, long long end)
{
    // The parent must never wait for a disk, and looks before each piece
    // whether its pages are in memory; where the file system cannot say
    // (FUSE, say), the worker keeps the response, unless its files are in
    // memory anyway (tmpfs).
    char byte;
    struct iovec one = {&byte, 1};
    if (::preadv2(file_fd, &one, 1, offset, RWF_NOWAIT) < 0 && errno != EAGAIN &&
        !lives_in_memory(file_fd))
        return false;
    return send_hand_off(conn_fd, file_fd, offset, end);
}

bool hand_off_close(int conn_fd)
{
    return send_hand_off(conn_fd, -1, 0, 0);
}

bool response_handed_off()
{
    return handed_off;
}
