#include <gtest/gtest.h>

#include <string>

#include "request/request.h"

namespace {

struct decode_case {
    std::string target;
    error_key error;  // of decoding, then of the checks
    std::string path;
};

// Decoding and checks together, as a request meets them.
TEST(decode_target, decodes_once_and_checks_the_result)
{
    const decode_case cases[] = {
        {"/a%20b", error_key::none, "/a b"},
        {"/a+b", error_key::none, "/a+b"},
        {"/c++.txt", error_key::none, "/c++.txt"},
        {"/a%2Bb", error_key::none, "/a+b"},
        {"/a%2bb+%20", error_key::none, "/a+b+ "},
        {"/%41", error_key::none, "/A"},
        {"/%4a%4A", error_key::none, "/JJ"},
        {"/%e4", error_key::none, "/\xe4"},
        {"/%C3%A9", error_key::none, "/\xc3\xa9"},
        {"/%252e%252e/x", error_key::none, "/%2e%2e/x"},  // decoded once only
        {"/x?y=/../../z", error_key::none, "/x"},
        {"/page#top", error_key::none, "/page"},
        {"/a?b#c", error_key::none, "/a"},
        {"/a#b?c", error_key::none, "/a"},
        {"/%zz?x", error_key::bad_percent_encoding, ""},
        {"/ok?%zz", error_key::none, "/ok"},
        {"/", error_key::none, "/"},
        {"//", error_key::none, "//"},
        {"/...", error_key::none, "/..."},
        {"/.hidden", error_key::none, "/.hidden"},
        {"/a/./b", error_key::none, "/a/./b"},
        {"/..x/x..", error_key::none, "/..x/x.."},
        {"/%01", error_key::none, "/\x01"},
        // Bad percent-encoding, in every shape.
        {"/%zz", error_key::bad_percent_encoding, ""},
        {"/abc%", error_key::bad_percent_encoding, ""},
        {"/abc%4", error_key::bad_percent_encoding, ""},
        {"/%4g", error_key::bad_percent_encoding, ""},
        {"/%g4", error_key::bad_percent_encoding, ""},
        {"/%%41", error_key::bad_percent_encoding, ""},
        {"/%zz/..", error_key::bad_percent_encoding, ""},  // 400 before 403
        // A decoded zero byte would cut the path and serve another resource.
        {"/index.html%00.png", error_key::bad_percent_encoding, ""},
        {"/%00", error_key::bad_percent_encoding, ""},
        // Climbing out, plain and encoded.
        {"/../x", error_key::forbidden_path, ""},
        {"/a/..", error_key::forbidden_path, ""},
        {"/a/../b", error_key::forbidden_path, ""},
        {"/..", error_key::forbidden_path, ""},
        {"//..//", error_key::forbidden_path, ""},
        {"/%2e%2e/x", error_key::forbidden_path, ""},
        {"/%2E%2E", error_key::forbidden_path, ""},
        {"/.%2e/x", error_key::forbidden_path, ""},
        {"/a/..%2Fb", error_key::forbidden_path, ""},
        {"/a%2F..%2Fb", error_key::forbidden_path, ""},
        // Backslashes, plain and encoded.
        {"/a\\b", error_key::forbidden_path, ""},
        {"/a%5Cb", error_key::forbidden_path, ""},
        {"/a%5c..%5cb", error_key::forbidden_path, ""},
        // No leading slash.
        {"*", error_key::forbidden_path, ""},
        {"x/y", error_key::forbidden_path, ""},
        {"http://example.com/x", error_key::forbidden_path, ""},
        {"?x", error_key::forbidden_path, ""},
        {"#x", error_key::forbidden_path, ""},
        {"%2Fx", error_key::none, "/x"},
    };
    for (const decode_case& c : cases) {
        SCOPED_TRACE(c.target);
        char path[path_buffer_size];
        error_key error = decode_target(c.target, path);
        if (error == error_key::none)
            error = check_path(path);
        EXPECT_EQ(error, c.error);
        if (c.error == error_key::none) {
            EXPECT_EQ(std::string(path), c.path);
        }
    }
}

struct length_case {
    std::string target;
    error_key error;
};

// The decoded path, not the target, is bounded: 4095 bytes at most, however
// many characters encode them, and whatever the query's length.
TEST(decode_target, refuses_a_decoded_path_over_4095_bytes)
{
    const std::string a4094(4094, 'a');
    std::string encoded_4095 = "/";
    for (int i = 0; i < 4094; ++i)
        encoded_4095 += "%C3";
    const length_case cases[] = {
        {"/" + a4094, error_key::none},
        {"/" + a4094 + "a", error_key::target_too_long},
        {encoded_4095, error_key::none},
        {encoded_4095 + "%41", error_key::target_too_long},
        {"/" + a4094 + "?" + std::string(10000, 'q'), error_key::none},
        {"/" + a4094 + "#" + std::string(10000, 'f'), error_key::none},
        {"/" + a4094 + "a%zz", error_key::target_too_long},
    };
    for (const length_case& c : cases) {
        SCOPED_TRACE(c.target.size());
        char path[path_buffer_size];
        EXPECT_EQ(decode_target(c.target, path), c.error);
        if (c.error == error_key::none) {
            EXPECT_EQ(std::string(path).size(), path_buffer_size - 1);
        }
    }
}

struct query_case {
    std::string target;
    std::string query;
};

TEST(query_of, gives_what_follows_the_first_question_mark_up_to_a_fragment)
{
    const query_case cases[] = {
        {"/a", ""},        {"/a?", ""},    {"/a?q=1", "q=1"}, {"/a?q=1#f", "q=1"},
        {"/a?q?r", "q?r"}, {"/a#f?q", ""}, {"?x", "x"},       {"/a?b c", "b c"},
    };
    for (const query_case& c : cases)
        EXPECT_EQ(query_of(c.target), c.query) << c.target;
}

}  // namespace
