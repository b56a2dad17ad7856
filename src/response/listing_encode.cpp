#include <array>

#include "response/response.h"

namespace {

constexpr bool is_unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

constexpr std::array<bool, 256> unreserved = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c)
        table[c] = is_unreserved(static_cast<unsigned char>(c));
    return table;
}();

constexpr char hex_digits[] = "0123456789ABCDEF";

}  // namespace

std::size_t url_encode_name(std::string_view name, char* out, std::size_t out_size, bool keep_slash)
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

std::size_t utf8_sequence_length(std::string_view text)
{
    if (text.empty())
        return 0;
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    // The range of the second byte excludes overlong forms, surrogates
    // (ED A0..BF) and code points above U+10FFFF (F4 90.. and F5..FF).
    std::size_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        second_low = lead == 0xe0 ? 0xa0 : 0x80;
        second_high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        second_low = lead == 0xf0 ? 0x90 : 0x80;
        second_high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < second_low || byte(1) > second_high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    return length;
}

std::size_t html_escape_name(std::string_view name, char* out, std::size_t out_size)
{
    // The page says it is UTF-8, so a name in another encoding (Latin-1 in
    // an old archive) must not reach it raw: one invalid byte would make a
    // client decode the whole page otherwise. Each byte outside a valid
    // sequence is shown as U+FFFD; the link keeps the raw bytes.
    std::size_t length = 0;
    while (!name.empty()) {
        std::size_t taken = utf8_sequence_length(name);
        std::string_view replacement = name.substr(0, taken);
        if (taken == 0) {
            replacement = "\xef\xbf\xbd";
            taken = 1;
        }
        switch (name[0]) {
        case '"': replacement = "&quot;"; break;
        case '&': replacement = "&amp;"; break;
        case '\'': replacement = "&#39;"; break;
        case '<': replacement = "&lt;"; break;
        case '>': replacement = "&gt;"; break;
        default: break;
        }
        if (length + replacement.size() >= out_size)
            break;
        for (char r : replacement)
            out[length++] = r;
        name.remove_prefix(taken);
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
