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

// One pass, never decoded again: '%252e' stays '%2e'. The checks that follow
// run on this output, so encoded dots and backslashes meet them like plain
// ones.
error_key decode_target(std::string_view target, char (&path)[path_buffer_size])
{
    target = target.substr(0, target.find('?'));
    target = target.substr(0, target.find('#'));

    std::size_t length = 0;
    for (std::size_t i = 0; i < target.size() && length < path_buffer_size - 1; ++i) {
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
        } else if (c == '+') {
            c = ' ';
        }
        path[length++] = c;
    }
    path[length] = '\0';
    return error_key::none;
}
