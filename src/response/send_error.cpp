#include <cstdio>
#include <cstring>

#include "response/response.h"

namespace {

// Indexed by error_key; the messages are fixed and never echo the request.
constexpr error_row catalogue[] = {
    {500, "internal server error", "unknown error."},  // none: never sent
    {400, "bad request", "malformed request line."},
    {501, "not implemented", "only get and head (heh, head) are supported."},
    {400, "bad request", "invalid percent-encoding."},
    {403, "forbidden", "you are not allowed to view this content."},
    {404, "not found", "the requested resource does not exist. perhaps you typed the url wrong?"},
    {404, "not found",
     "the requested resource does not exist. perhaps you may have typed the url wrong?"},
    {404, "not found", "file not found. perhaps you typed the url wrong?"},
    {500, "internal server error", "could not read directory. check permissions?"},
    {414, "uri too long", "the requested url is too long."},
    {301, "moved permanently", "the resource has moved."},
};
static_assert(sizeof catalogue / sizeof catalogue[0] ==
              static_cast<std::size_t>(error_key::moved_permanently) + 1);

}  // namespace

const error_row& error_row_for(error_key key)
{
    return catalogue[static_cast<std::size_t>(key)];
}

std::size_t format_error_page(char (&out)[error_page_buffer_size], const error_row& row)
{
    int n = std::snprintf(out, sizeof out,
                          "<!DOCTYPE html><html><head><title>%d %s</title></head>"
                          "<body><h1>%d %s</h1><p>%s</p></body></html>\n",
                          row.status, row.reason, row.status, row.reason, row.message);
    if (n < 0)
        return 0;
    return static_cast<std::size_t>(n) < sizeof out ? static_cast<std::size_t>(n) : sizeof out - 1;
}

void send_error(int fd, error_key key, bool head_only)
{
    const error_row& row = error_row_for(key);
    char page[error_page_buffer_size];
    std::size_t page_length = format_error_page(page, row);

    // Header and page leave in one write, so the client gets them together.
    char response[header_buffer_size + error_page_buffer_size];
    char header[header_buffer_size];
    std::size_t header_length =
        format_header(header, row.status, row.reason, "text/html; charset=utf-8",
                      static_cast<long long>(page_length));
    std::memcpy(response, header, header_length);
    std::size_t length = header_length;
    if (!head_only) {
        std::memcpy(response + length, page, page_length);
        length += page_length;
    }
    write_all(fd, response, length);
}
