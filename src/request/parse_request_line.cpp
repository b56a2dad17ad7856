#include "common/text_scan.h"
#include "request/request.h"

namespace {

// White space as the POSIX locale's isspace knows it.
constexpr bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void skip_space(std::string_view& text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    text.remove_prefix(i);
}

// Takes the next run of non-space characters, at most `limit` of them: a
// longer run is split, and its remainder starts the next token.
std::string_view take_token(std::string_view& text, std::size_t limit)
{
    skip_space(text);
    std::size_t run = 0;
    while (run < text.size() && !is_space(text[run]))
        ++run;
    std::size_t taken = run < limit ? run : limit;
    std::string_view token = text.substr(0, taken);
    text.remove_prefix(taken);
    return token;
}

}  // namespace

error_key parse_request_line(std::string_view text, request_line& line)
{
    text = up_to_zero(text);

    line = request_line{};
    line.method = take_token(text, max_method_length);
    if (line.method.empty())
        return error_key::bad_request_line;
    // Known from the first token on, so that even an error answer to HEAD
    // carries no body.
    line.head_only = line.method == "HEAD";

    // The target is taken whole, however long: a listing links names
    // percent-encoded, three characters to a byte, and a long query must
    // not cost the request. What bounds it is the decoded path.
    line.target = take_token(text, text.size());
    if (line.target.empty())
        return error_key::bad_request_line;

    line.version = take_token(text, max_version_length);
    if (line.version.empty())
        return error_key::bad_request_line;

    if (line.method != "GET" && line.method != "HEAD")
        return error_key::method_not_supported;
    return error_key::none;
}
