#include <array>

#include "response/response.h"

namespace {

constexpr bool is_unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

constexpr std::array<bool, 256> unreserved = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = is_unreserved(static_cast<unsigned char>(c));
    return table;
}();

constexpr char hex_digits[] = "0123456789ABCDEF";

}  // namespace

std::size_t url_encode_name(std::string_view name, char* out, std::size_t out_size,
                            bool keep_slash)
{
    std::size_t length = 0;
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (unreserved[c] || (keep_slash && c == '/')) {
            if (length + 1 >= out_size)
                break;
            out[length++] = ch;
        } else {
            if (length + 3 >= out_size)
                break;
            out[length++] = '%';
            out[length++] = hex_digits[c >> 4];
            out[length++] = hex_digits[c & 15];
        }
    }
    out[length] = '\0';
    return length;
}

std::size_t html_escape_name(std::string_view name, char* out, std::size_t out_size)
{
    std::size_t length = 0;
    for (char ch : name) {
        std::string_view replacement;
        switch (ch) {
        case '"': replacement = "&quot;"; break;
        case '&': replacement = "&amp;"; break;
        case '\'': replacement = "&#39;"; break;
        case '<': replacement = "&lt;"; break;
        case '>': replacement = "&gt;"; break;
        default: replacement = std::string_view(&ch, 1); break;
        }
        if (length + replacement.size() >= out_size)
            break;
        for (char r : replacement)
            out[length++] = r;
    }
    out[length] = '\0';
    return length;
}

// The decoded path with every run of "/" collapsed to one, percent-encoded
// byte by byte but for the slashes, and ending in "/". Collapsing matters:
// the listing for '//' would otherwise link '//name', which a browser reads
// as a host; encoding keeps "#", "?" and "%" in directory names from
// breaking every link below them.
std::size_t format_link_base(const char* path, char (&out)[link_base_size])
{
    std::size_t length = 0;
    for (const char* p = path; *p != '\0';) {
        if (*p == '/') {
            if (length == 0 || out[length - 1] != '/')
                out[length++] = '/';
            ++p;
            continue;
        }
        const char* end = p;
        while (*end != '\0' && *end != '/')
            ++end;
        length += url_encode_name(std::string_view(p, static_cast<std::size_t>(end - p)),
                                  out + length, sizeof out - length);
        p = end;
    }
    if (length == 0 || out[length - 1] != '/')
        out[length++] = '/';
    out[length] = '\0';
    return length;
}
