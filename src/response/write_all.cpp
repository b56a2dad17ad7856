#include <cerrno>
#include <sys/socket.h>

#include "response/response.h"

// The connection's send time limit (inherited from the listener) bounds each send:
// a send that makes no progress in that time fails with EAGAIN, which ends
// the write like any other failure.
bool write_all(int fd, const void* data, std::size_t length, bool more_follows)
{
    const char* next = static_cast<const char*>(data);
    int flags = MSG_NOSIGNAL | (more_follows ? MSG_MORE : 0);
    while (length > 0) {
        ssize_t written = ::send(fd, next, length, flags);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}
