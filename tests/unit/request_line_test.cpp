#include <gtest/gtest.h>

#include <string>

#include "request/request.h"

namespace {

struct line_case {
    std::string text;
    error_key error;
    std::string method, target, version;
    bool head_only;
};

TEST(parse_request_line, splits_like_scanf_and_checks_the_method)
{
    const std::string long_target = "/" + std::string(4094, 'a');  // exactly 4095
    const std::string very_long_target = "/" + std::string(12000, '%');
    const line_case cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", error_key::none, "GET", "/", "HTTP/1.1", false},
        {"HEAD /x HTTP/1.0\r\nHost: a\r\n\r\n", error_key::none, "HEAD", "/x", "HTTP/1.0", true},
        {"  \t GET\t/a\v\fHTTP/1.1", error_key::none, "GET", "/a", "HTTP/1.1", false},
        // Line ends are white space: the next line's first word is the version.
        {"GET /a\r\nHost: x\r\n\r\n", error_key::none, "GET", "/a", "Host:", false},
        {"GET /a\r\n\r\n", error_key::bad_request_line, "GET", "/a", "", false},
        {"GET\r\n\r\n", error_key::bad_request_line, "GET", "", "", false},
        {"", error_key::bad_request_line, "", "", "", false},
        {"\r\n\r\n", error_key::bad_request_line, "", "", "", false},
        {"get / HTTP/1.1", error_key::method_not_supported, "get", "/", "HTTP/1.1", false},
        {"POST / HTTP/1.1", error_key::method_not_supported, "POST", "/", "HTTP/1.1", false},
        {"OPTIONS * HTTP/1.1", error_key::method_not_supported, "OPTIONS", "*", "HTTP/1.1", false},
        // Two tokens and another method: the count is checked first.
        {"DELETE /x\r\n\r\n", error_key::bad_request_line, "DELETE", "/x", "", false},
        // An 18-character method is split: its last 3 characters are the target.
        {"ABCDEFGHIJKLMNOPQR /x HTTP/1.1", error_key::method_not_supported, "ABCDEFGHIJKLMNO",
         "PQR", "/x", false},
        {"GET / " + std::string(20, 'V'), error_key::none, "GET", "/", std::string(15, 'V'), false},
        {"GET " + long_target + " HTTP/1.1", error_key::none, "GET", long_target, "HTTP/1.1",
         false},
        // The target is never split, however long: decoding bounds the path.
        {"GET " + very_long_target + " HTTP/1.1", error_key::none, "GET", very_long_target,
         "HTTP/1.1", false},
        {"GET " + very_long_target, error_key::bad_request_line, "GET", "", "", false},
        // A zero byte ends the text.
        {std::string("GET /a\0b HTTP/1.1", 17), error_key::bad_request_line, "GET", "/a", "",
         false},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        request_line line;
        error_key error = parse_request_line(c.text, line);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(line.head_only, c.head_only);
        if (error == error_key::none || error == error_key::method_not_supported) {
            EXPECT_EQ(line.method, c.method);
            EXPECT_EQ(line.target, c.target);
            EXPECT_EQ(line.version, c.version);
        }
    }
}

struct head_case {
    std::string text;
    bool complete;
};

TEST(head_is_complete, finds_either_end_marker_before_any_zero_byte)
{
    const head_case cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", true},
        {"GET / HTTP/1.1\n\n", true},
        {"GET / HTTP/1.1\r\nHost: x\r\n", false},
        {"GET / HTTP/1.1\r\n\r", false},
        {"\n\n", true},
        {std::string("GET /\0\r\n\r\n", 10), false},
        {"", false},
    };
    for (const head_case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(head_is_complete(c.text), c.complete);
    }
}

}  // namespace
