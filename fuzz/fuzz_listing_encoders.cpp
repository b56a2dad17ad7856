// The listing's encoders: links hold only unreserved characters and %XX,
// text holds none of the five raw characters and is valid UTF-8, and both
// fit their buffers and decode back to (a prefix of) the name, with U+FFFD
// for each byte of the name outside a valid sequence.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "response/response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void check_encoded(std::string_view name, std::size_t out_size, bool keep_slash)
{
    std::string out(out_size + 8, '\x5a');
    std::size_t length = url_encode_name(name, out.data(), out_size, keep_slash);
    require(length < out_size && out[length] == '\0');
    for (std::size_t i = out_size; i < out.size(); ++i)
        require(out[i] == '\x5a');
    std::string decoded;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c == '%') {
            require(i + 2 < length && hex(out[i + 1]) >= 0 && hex(out[i + 2]) >= 0);
            unsigned char value =
                static_cast<unsigned char>(hex(out[i + 1]) * 16 + hex(out[i + 2]));
            require(!unreserved(value) && !(keep_slash && value == '/'));
            decoded += static_cast<char>(value);
            i += 2;
        } else {
            require(unreserved(c) || (keep_slash && c == '/'));
            decoded += static_cast<char>(c);
        }
    }
    require(name.substr(0, decoded.size()) == decoded);
    // Cut only when the next byte would not have fitted.
    if (decoded.size() < name.size())
        require(length + 3 >= out_size - 1);
}

// Decodes one code point the long way, by its value: the shortest form,
// not a surrogate, at most U+10FFFF. Gives its length, or 0.
std::size_t valid_sequence(std::string_view text)
{
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    std::size_t length = at(0) < 0x80       ? 1
                         : at(0) >> 5 == 6  ? 2
                         : at(0) >> 4 == 14 ? 3
                         : at(0) >> 3 == 30 ? 4
                                            : 0;
    if (length == 0 || text.size() < length)
        return 0;
    std::uint32_t value = length == 1 ? at(0) : at(0) & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if (at(i) >> 6 != 2)
            return 0;
        value = value << 6 | (at(i) & 0x3f);
    }
    static const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < shortest[length] || (value >= 0xd800 && value <= 0xdfff) || value > 0x10ffff)
        return 0;
    return length;
}

// `name` as the page must show it: each invalid byte replaced.
std::string shown(std::string_view name)
{
    std::string text;
    while (!name.empty()) {
        std::size_t length = valid_sequence(name);
        text += length == 0 ? std::string_view("\xef\xbf\xbd") : name.substr(0, length);
        name.remove_prefix(length == 0 ? 1 : length);
    }
    return text;
}

void check_escaped(std::string_view name, std::size_t out_size)
{
    std::string out(out_size + 8, '\x5a');
    std::size_t length = html_escape_name(name, out.data(), out_size);
    require(length < out_size && out[length] == '\0');
    for (std::size_t i = out_size; i < out.size(); ++i)
        require(out[i] == '\x5a');
    static const char* const entities[] = {"&quot;", "&amp;", "&#39;", "&lt;", "&gt;"};
    static const char raw[] = {'"', '&', '\'', '<', '>'};
    for (std::size_t i = 0, step = 0; i < length; i += step) {
        step = valid_sequence(std::string_view(out.data() + i, length - i));
        require(step != 0);
    }
    std::string unescaped;
    for (std::size_t i = 0; i < length;) {
        char c = out[i];
        require(c != '"' && c != '\'' && c != '<' && c != '>');
        if (c == '&') {
            bool matched = false;
            for (int e = 0; e < 5 && !matched; ++e) {
                std::size_t n = std::strlen(entities[e]);
                if (out.compare(i, n, entities[e]) == 0 && i + n <= length) {
                    unescaped += raw[e];
                    i += n;
                    matched = true;
                }
            }
            require(matched);
        } else {
            unescaped += c;
            ++i;
        }
    }
    std::string expected = shown(name);
    require(expected.compare(0, unescaped.size(), unescaped) == 0);
    if (unescaped.size() < expected.size())
        require(length + 6 >= out_size - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view name(reinterpret_cast<const char*>(data), size);
    std::size_t out_size = size == 0 ? 1 : 1 + data[0] % 64;  // small buffers too
    check_encoded(name, 2048, false);
    check_encoded(name, out_size, false);
    check_encoded(name, out_size, true);
    check_escaped(name, 2048);
    check_escaped(name, out_size);
    return 0;
}
