#include <cerrno>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "common/time_limits.h"
#include "response/response.h"

namespace {

// A worker serves one connection, so its stall clock is the process's own.
// The clock starts at the first send that cannot go on after bytes went
// out, and starts again whenever more bytes go out or the client takes
// some of what is queued: the limit counts time in which the client takes
// nothing, across every send of the response.
long long stall_deadline_ms = -1;  // -1: bytes went out since the last wait
int last_queued = -1;              // what the client had not acknowledged
bool dropped = false;

// Bytes sent but not yet acknowledged, and not yet sent, or -1.
int queued_bytes(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

}  // namespace

void note_send_progress()
{
    // Read before written: a fresh worker that never waits then never
    // writes, and so never copies, the page that holds the clock.
    if (stall_deadline_ms != -1)
        stall_deadline_ms = -1;
}

bool wait_writable(int fd)
{
    if (stall_deadline_ms < 0) {
        stall_deadline_ms = monotonic_ms() + write_stall_ms;
        last_queued = queued_bytes(fd);
    }
    for (;;) {
        long long left = stall_deadline_ms - monotonic_ms();
        if (left <= 0)
            break;
        // A socket is writable again only once much of its queue has gone,
        // which takes a slow but steady client far longer than the limit.
        // So the wait looks at the queue every slice: a shorter one is a
        // client that reads.
        struct pollfd p = {fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left < stall_check_ms ? left : stall_check_ms));
        // Writable, or failed: either way the next send tells which.
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            break;
        int queued = queued_bytes(fd);
        if (queued >= 0 && queued < last_queued)
            stall_deadline_ms = monotonic_ms() + write_stall_ms;
        last_queued = queued;
    }
    dropped = true;
    return false;
}

void note_send_failure()
{
    dropped = true;
}

bool response_dropped()
{
    return dropped;
}

bool write_all(int fd, const void* data, std::size_t length, bool more_follows)
{
    const char* next = static_cast<const char*>(data);
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more_follows ? MSG_MORE : 0);
    while (length > 0) {
        ssize_t written = ::send(fd, next, length, flags);
        if (written > 0) {
            note_send_progress();
            next += written;
            length -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_writable(fd))
                return false;
            continue;
        }
        note_send_failure();
        return false;
    }
    return true;
}
