#include <cstdio>

#include "response/response.h"

std::size_t format_header(char (&out)[header_buffer_size], int status, const char* reason,
                          const char* content_type, long content_length)
{
    int n = std::snprintf(out, sizeof out,
                          "HTTP/1.1 %d %s\r\n"
                          "Server: quillbarrow/1.0\r\n"
                          "Content-Type: %s\r\n"
                          "Content-Length: %ld\r\n"
                          "Connection: close\r\n"
                          "\r\n",
                          status, reason, content_type, content_length);
    if (n < 0)
        return 0;
    return static_cast<std::size_t>(n) < sizeof out ? static_cast<std::size_t>(n) : sizeof out - 1;
}

void send_header(int fd, int status, const char* reason, const char* content_type,
                 long content_length, bool more_follows)
{
    char header[header_buffer_size];
    std::size_t length = format_header(header, status, reason, content_type, content_length);
    write_all(fd, header, length, more_follows);
}
