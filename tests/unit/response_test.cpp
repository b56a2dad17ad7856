#include <gtest/gtest.h>

#include <string>

#include "response/response.h"

namespace {

struct type_case {
    std::string name;
    std::string type;
};

TEST(content_type_for, takes_the_text_after_the_last_dot_of_the_whole_name)
{
    const type_case cases[] = {
        {"/index.html", "text/html; charset=utf-8"},
        {"/a.HTM", "text/html; charset=utf-8"},
        {"style.css", "text/css; charset=utf-8"},
        {"app.js", "application/javascript; charset=utf-8"},
        {"mod.mjs", "application/javascript; charset=utf-8"},
        {"d.json", "application/json"},
        {"photo.JPG", "image/jpeg"},
        {"photo.jpeg", "image/jpeg"},
        {"PHOTO.Jpg", "image/jpeg"},
        {"i.png", "image/png"},
        {"i.gif", "image/gif"},
        {"i.svg", "image/svg+xml"},
        {"favicon.ico", "image/x-icon"},
        {"i.webp", "image/webp"},
        {"doc.pdf", "application/pdf"},
        {"notes.txt", "text/plain; charset=utf-8"},
        {"feed.xml", "application/xml"},
        {"a.zip", "application/zip"},
        {"archive.tar.gz", "application/gzip"},
        {"data.tar", "application/x-tar"},
        {"s.mp3", "audio/mpeg"},
        {"v.mp4", "video/mp4"},
        {"v.webm", "video/webm"},
        {"f.woff", "font/woff"},
        {"f.woff2", "font/woff2"},
        {"f.ttf", "font/ttf"},
        {"m.wasm", "application/wasm"},
        {"README", "application/octet-stream"},
        {".bashrc", "application/octet-stream"},
        {"file.", "application/octet-stream"},
        {"/build.2/README", "application/octet-stream"},
        {"/notes.txt/", "application/octet-stream"},
        {"a.html5", "application/octet-stream"},
        {"a.htmlx", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const type_case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(std::string(content_type_for(c.name)), c.type);
    }
}

struct encode_case {
    std::string name;
    std::string encoded;
    std::string escaped;
};

TEST(listing_encoders, encode_links_and_escape_text)
{
    const encode_case cases[] = {
        {"plain-Name_1.~", "plain-Name_1.~", "plain-Name_1.~"},
        {"x y&z", "x%20y%26z", "x y&amp;z"},
        {"\xc3\xa9", "%C3%A9", "\xc3\xa9"},
        {"x\"y", "x%22y", "x&quot;y"},
        {"it's", "it%27s", "it&#39;s"},
        {"<b>", "%3Cb%3E", "&lt;b&gt;"},
        {"a#b?c%d+e", "a%23b%3Fc%25d%2Be", "a#b?c%d+e"},
        {"a/b", "a%2Fb", "a/b"},
        {"\x01\x7f\xff", "%01%7F%FF", "\x01\x7f\xef\xbf\xbd"},
        // Text is valid UTF-8 whatever the name: each byte outside a valid
        // sequence is U+FFFD; the link keeps every byte.
        {"\xf0\x9f\x98\x80", "%F0%9F%98%80", "\xf0\x9f\x98\x80"},
        {"caf\xe9"
         "s",
         "caf%E9s",
         "caf\xef\xbf\xbd"
         "s"},  // Latin-1
        {"a\x80"
         "b",
         "a%80b",
         "a\xef\xbf\xbd"
         "b"},                                                                  // lone continuation
        {"\xc0\xaf", "%C0%AF", "\xef\xbf\xbd\xef\xbf\xbd"},                     // overlong "/"
        {"\xe0\x80\xaf", "%E0%80%AF", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // overlong, 3 bytes
        {"\xed\xa0\x80", "%ED%A0%80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // surrogate
        {"\xf4\x90\x80\x80", "%F4%90%80%80",
         "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // above U+10FFFF
        {"\xe2\x82", "%E2%82", "\xef\xbf\xbd\xef\xbf\xbd"},    // cut in a sequence
        {"\xe2\x82<", "%E2%82%3C", "\xef\xbf\xbd\xef\xbf\xbd&lt;"},
        {"", "", ""},
    };
    for (const encode_case& c : cases) {
        SCOPED_TRACE(c.name);
        char out[2048];
        EXPECT_EQ(url_encode_name(c.name, out, sizeof out), c.encoded.size());
        EXPECT_EQ(std::string(out), c.encoded);
        EXPECT_EQ(html_escape_name(c.name, out, sizeof out), c.escaped.size());
        EXPECT_EQ(std::string(out), c.escaped);
    }
    char out[64];
    url_encode_name("/a b/c", out, sizeof out, true);
    EXPECT_EQ(std::string(out), "/a%20b/c");
}

TEST(listing_encoders, stop_at_a_whole_escape_rather_than_overflow)
{
    char out[8];
    EXPECT_EQ(url_encode_name("ab    ", out, sizeof out), 5u);  // "ab%20": the next would not fit
    EXPECT_EQ(std::string(out), "ab%20");
    EXPECT_EQ(html_escape_name("a&&", out, sizeof out), 6u);
    EXPECT_EQ(std::string(out), "a&amp;");
    EXPECT_EQ(html_escape_name("abcdefghij", out, sizeof out), 7u);
}

TEST(text_append, grows_from_nothing_and_keeps_every_byte)
{
    text_buffer buffer;
    EXPECT_EQ(buffer.data, nullptr);
    text_append(buffer, "");
    ASSERT_NE(buffer.data, nullptr);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.data[0], '\0');

    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        std::string piece = std::to_string(i) + ",";
        text_append(buffer, piece);
        expected += piece;
    }
    EXPECT_EQ(buffer.length, expected.size());
    EXPECT_EQ(std::string(buffer.data), expected);
    EXPECT_GE(buffer.capacity, buffer.length + 1);
    text_release(buffer);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.length, 0u);
}

struct page_case {
    error_key key;
    int status;
    std::size_t page_bytes;
};

TEST(error_catalogue, every_row_formats_to_its_known_length)
{
    const page_case cases[] = {
        {error_key::bad_request_line, 400, 139},     {error_key::method_not_supported, 501, 168},
        {error_key::bad_percent_encoding, 400, 141}, {error_key::forbidden_path, 403, 153},
        {error_key::path_not_found, 404, 183},       {error_key::object_not_servable, 404, 192},
        {error_key::file_not_found, 404, 160},       {error_key::listing_failed, 500, 180},
        {error_key::target_too_long, 414, 148},      {error_key::moved_permanently, 301, 151},
    };
    for (const page_case& c : cases) {
        SCOPED_TRACE(c.status);
        const error_row& row = error_row_for(c.key);
        EXPECT_EQ(row.status, c.status);
        char page[error_page_buffer_size];
        EXPECT_EQ(format_error_page(page, row), c.page_bytes);
        std::string text(page);
        std::string title = std::to_string(row.status) + " " + row.reason;
        EXPECT_NE(text.find("<title>" + title + "</title>"), std::string::npos);
        EXPECT_NE(text.find("<h1>" + title + "</h1>"), std::string::npos);
    }
}

TEST(format_header, writes_the_five_lines_in_order)
{
    char header[header_buffer_size];
    std::size_t length = format_header(header, 200, "OK", "image/png", 5368709120LL);
    EXPECT_EQ(std::string(header, length),
              "HTTP/1.1 200 OK\r\nServer: quillbarrow/1.0\r\nContent-Type: image/png\r\n"
              "Content-Length: 5368709120\r\nConnection: close\r\n\r\n");
}

}  // namespace
