#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/text_scan.h"
#include "common/time_limits.h"
#include "request/request.h"

bool head_is_complete(std::string_view data)
{
    // The received bytes are text up to the first zero byte: a zero before
    // the empty line hides it.
    return head_length(data) != 0;
}

std::size_t head_length(std::string_view data)
{
    std::string_view text = up_to_zero(data);
    std::size_t end = find_text(text, "\r\n\r\n");
    if (end != not_found)
        return end + 4;
    end = find_text(text, "\n\n");
    return end == not_found ? 0 : end + 2;
}

namespace {

// Waits until the connection can be read or the deadline passes.
bool wait_readable(int fd, long long deadline_ms)
{
    for (;;) {
        long long left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

std::size_t read_request_head(int conn_fd, char (&buffer)[request_buffer_size], long long due_ms)
{
    constexpr std::size_t capacity = request_buffer_size - 1;
    std::size_t received = 0;
    std::size_t text_end = 0;  // where the text stops: the first zero byte
    std::size_t scanned = 0;   // the text before this holds no end marker
    buffer[0] = '\0';
    while (received < capacity) {
        // The head has usually arrived by the time the worker runs, so it
        // reads first and waits only when there is nothing yet. Deadline,
        // end of stream and failure all end reading; what arrived so far is
        // the head.
        ssize_t got = ::recv(conn_fd, buffer + received, capacity - received, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_readable(conn_fd, due_ms))
                break;
            continue;
        }
        if (got <= 0)
            break;
        if (text_end == received) {
            std::size_t zero =
                find_byte(std::string_view(buffer + received, static_cast<std::size_t>(got)), '\0');
            text_end = received + (zero == not_found ? static_cast<std::size_t>(got) : zero);
        }
        received += static_cast<std::size_t>(got);
        buffer[received] = '\0';
        // Only the new bytes and the three before them can complete a marker,
        // so a head that trickles in byte by byte costs linear time.
        std::size_t from = scanned > 3 ? scanned - 3 : 0;
        if (head_is_complete(std::string_view(buffer + from, text_end - from)))
            break;
        scanned = text_end;
    }
    buffer[received] = '\0';
    return received;
}
