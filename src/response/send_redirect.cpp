#include "response/response.h"

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

// The query as the client sent it, but for bytes outside visible ASCII,
// which a header line cannot carry: those are percent-encoded.
void append_query(text_buffer& out, std::string_view query)
{
    char piece[3 * 32];
    std::size_t length = 0;
    for (char ch : query) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x21 && c <= 0x7e) {
            piece[length++] = ch;
        } else {
            piece[length++] = '%';
            piece[length++] = hex_digits[c >> 4];
            piece[length++] = hex_digits[c & 15];
        }
        if (length + 3 > sizeof piece) {
            text_append(out, std::string_view(piece, length));
            length = 0;
        }
    }
    text_append(out, std::string_view(piece, length));
}

}  // namespace

// The target may be far longer than any fixed buffer (a query can fill the
// request head), so the response is assembled on the heap, like a listing.
void send_redirect(int fd, const char* path, std::string_view query, bool head_only)
{
    const error_row& row = error_row_for(error_key::moved_permanently);
    char page[error_page_buffer_size];
    std::size_t page_length = format_error_page(page, row);
    char fields[header_buffer_size];
    std::size_t fields_length =
        format_header_fields(fields, row.status, row.reason, "text/html; charset=utf-8",
                             static_cast<long long>(page_length));
    // A path only, starting with a single "/": never a scheme or a host.
    char location[link_base_size];
    std::size_t location_length = format_link_base(path, location);

    text_buffer response;
    text_append(response, std::string_view(fields, fields_length));
    text_append(response, "Location: ");
    text_append(response, std::string_view(location, location_length));
    if (!query.empty()) {
        text_append(response, "?");
        append_query(response, query);
    }
    text_append(response, "\r\n");
    text_append(response, header_end);
    if (!head_only)
        text_append(response, std::string_view(page, page_length));
    write_all(fd, response.data, response.length);
    text_release(response);
}
