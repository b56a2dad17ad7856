#include <cstring>

#include "response/response.h"

namespace {

// Appends `text` at `at` without passing `end`; gives the new position.
char* put(char* at, const char* end, std::string_view text)
{
    std::size_t n = text.size() < static_cast<std::size_t>(end - at)
                        ? text.size()
                        : static_cast<std::size_t>(end - at);
    std::memcpy(at, text.data(), n);
    return at + n;
}

char* put_number(char* at, const char* end, long long value)
{
    char digits[24];
    char* first = digits + sizeof digits;
    unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        *--first = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--first = '-';
    return put(at, end,
               std::string_view(first, static_cast<std::size_t>(digits + sizeof digits - first)));
}

}  // namespace

// Assembled piece by piece rather than with snprintf: every response goes
// through here, and printf's machinery is the largest code a fresh worker
// would otherwise have to fault in. Cut at the buffer's size, which the
// fixed reasons and types never reach.
std::size_t format_header_fields(char (&out)[header_buffer_size], int status, const char* reason,
                                 const char* content_type, long long content_length)
{
    char* at = out;
    const char* end = out + sizeof out - 1;
    at = put(at, end, "HTTP/1.1 ");
    at = put_number(at, end, status);
    at = put(at, end, " ");
    at = put(at, end, reason);
    at = put(at, end, "\r\nServer: quillbarrow/1.0\r\nContent-Type: ");
    at = put(at, end, content_type);
    at = put(at, end, "\r\nContent-Length: ");
    at = put_number(at, end, content_length);
    at = put(at, end, "\r\n");
    *at = '\0';
    return static_cast<std::size_t>(at - out);
}

std::size_t format_header(char (&out)[header_buffer_size], int status, const char* reason,
                          const char* content_type, long long content_length)
{
    std::size_t length = format_header_fields(out, status, reason, content_type, content_length);
    char* at = put(out + length, out + sizeof out - 1, header_end);
    *at = '\0';
    return static_cast<std::size_t>(at - out);
}

void send_header(int fd, int status, const char* reason, const char* content_type,
                 long long content_length, bool more_follows)
{
    char header[header_buffer_size];
    std::size_t length = format_header(header, status, reason, content_type, content_length);
    write_all(fd, header, length, more_follows);
}
