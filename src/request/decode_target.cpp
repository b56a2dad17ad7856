#include "common/text_scan.h"
#include "request/request.h"

namespace {

// The value of an ASCII hexadecimal digit, or -1.
constexpr int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string_view query_of(std::string_view target)
{
    std::size_t question = find_byte(target, '?');
    if (question == not_found || question > find_byte(target, '#'))
        return {};
    std::string_view query = target.substr(question + 1);
    return query.substr(0, find_byte(query, '#'));
}

// One pass, never decoded again: '%252e' stays '%2e'. The checks that follow
// run on this output, so encoded dots and backslashes meet them like plain
// ones.
error_key decode_target(std::string_view target, char (&path)[path_buffer_size])
{
    target = target.substr(0, find_byte(target, '?'));
    target = target.substr(0, find_byte(target, '#'));

    std::size_t length = 0;
    for (std::size_t i = 0; i < target.size(); ++i) {
        // A path cut short would name another resource than the one asked
        // for: refuse it whole.
        if (length == path_buffer_size - 1) {
            path[0] = '\0';
            return error_key::target_too_long;
        }
        char c = target[i];
        if (c == '%') {
            int high = i + 1 < target.size() ? hex_value(target[i + 1]) : -1;
            int low = i + 2 < target.size() ? hex_value(target[i + 2]) : -1;
            if (high < 0 || low < 0)
                return error_key::bad_percent_encoding;
            c = static_cast<char>(high * 16 + low);
            // Every later stage reads the path as zero-terminated text: a
            // decoded zero would silently cut it and serve another resource.
            if (c == '\0')
                return error_key::bad_percent_encoding;
            i += 2;
        }
        // "+" stands for a blank only in form-encoded queries, which are
        // never read; in a path it is itself ("c++.txt").
        path[length++] = c;
    }
    path[length] = '\0';
    return error_key::none;
}
