#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "test_support.h"

// URLs as browsers and tools write them: a directory's index page asked for
// without its final "/" is redirected to it, and every link that a listing
// produces, however long once encoded, can be requested.

namespace {

const std::string moved_page =
    "<!DOCTYPE html><html><head><title>301 moved permanently</title></head><body>"
    "<h1>301 moved permanently</h1><p>the resource has moved.</p></body></html>\n";

std::string redirect_to(const std::string& location, bool head_only = false)
{
    return "HTTP/1.1 301 moved permanently\r\nServer: quillbarrow/1.0\r\n"
           "Content-Type: text/html; charset=utf-8\r\nContent-Length: " +
           std::to_string(moved_page.size()) + "\r\nLocation: " + location +
           "\r\nConnection: close\r\n\r\n" + (head_only ? "" : moved_page);
}

class urls : public served_tree {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir((root + "/site").c_str(), 0755), 0);
        write_file(root + "/site/index.html", "<p>site</p>\n");
        ASSERT_EQ(mkdir((root + "/listed").c_str(), 0755), 0);
        odd = "a b#c\xc3\xa9";
        ASSERT_EQ(mkdir((root + "/" + odd).c_str(), 0755), 0);
        write_file(root + "/" + odd + "/index.html", "odd\n");
        start();
    }
    std::string odd;
};

struct redirect_case {
    std::string request;
    std::string response;
};

TEST_F(urls, an_index_page_without_its_final_slash_is_redirected_to_it)
{
    const redirect_case cases[] = {
        {simple_request("/site"), redirect_to("/site/")},
        {simple_request("/site", "HEAD"), redirect_to("/site/", true)},
        {simple_request("//site"), redirect_to("/site/")},
        {simple_request("/./site"), redirect_to("/./site/")},
        {simple_request("/site?q=1&r=%20x"), redirect_to("/site/?q=1&r=%20x")},
        {simple_request("/site?q=1#frag"), redirect_to("/site/?q=1")},
        {simple_request("/site#frag?not-a-query"), redirect_to("/site/")},
        {simple_request("/site?caf\xc3\xa9\x7f"), redirect_to("/site/?caf%C3%A9%7F")},
        {simple_request("/a%20b%23c%C3%A9"), redirect_to("/a%20b%23c%C3%A9/")},
        {simple_request("/site/"),
         expected_header(200, "OK", "text/html; charset=utf-8", 12) + "<p>site</p>\n"},
    };
    for (const redirect_case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(http_exchange(server.port, c.request), c.response);
    }
    // A listing answers at once, with or without the slash.
    parsed_response listing = parse_response(get("/listed"));
    EXPECT_EQ(listing.status, 200);
    EXPECT_EQ(listing.head.find("Location"), std::string::npos);
}

// Six nested directories of 254-byte UTF-8 names: 1,530 bytes of path, some
// 4,600 characters once a listing has encoded them.
TEST_F(urls, every_link_of_a_deep_listing_with_long_names_can_be_followed)
{
    std::string name;
    while (name.size() + 2 <= 254)
        name += "\xc3\xa9";
    ASSERT_EQ(name.size(), 254u);
    std::string dir = root;
    for (int level = 0; level < 6; ++level) {
        dir += "/" + name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << level;
    }
    write_file(dir + "/leaf.txt", "leaf\n");

    std::vector<std::string> to_visit = {"/"};
    std::size_t followed = 0;
    while (!to_visit.empty()) {
        std::string target = to_visit.back();
        to_visit.pop_back();
        parsed_response r = parse_response(get(target));
        ASSERT_EQ(r.status, 200) << target.size() << " characters: " << target.substr(0, 80);
        ++followed;
        if (target.back() != '/')
            continue;  // a file
        // Follow the links below this one (not the parent's "../").
        for (std::size_t at = 0; (at = r.body.find("<a href=\"", at)) != std::string::npos;) {
            at += 9;
            std::string link = r.body.substr(at, r.body.find('"', at) - at);
            if (link.size() > target.size() && link.compare(0, target.size(), target) == 0)
                to_visit.push_back(link);
        }
    }
    EXPECT_GE(followed, 8u);  // the root, six levels, and the leaf (and "site", ...)
}

TEST_F(urls, a_decoded_path_over_4095_bytes_is_refused_and_a_long_query_is_not)
{
    const std::string too_long =
        expected_error(414, "uri too long", "the requested url is too long.");
    std::string path_4096 = "/" + std::string(4095, 'p');
    std::string encoded_4096 = "/";
    for (int i = 0; i < 4095; ++i)
        encoded_4096 += "%70";
    EXPECT_EQ(get(path_4096), too_long);
    EXPECT_EQ(get(encoded_4096), too_long);
    EXPECT_EQ(get(path_4096, "HEAD"), too_long.substr(0, too_long.find("<!DOCTYPE")));
    EXPECT_EQ(parse_response(get("/" + std::string(4094, 'p'))).status, 404);
    EXPECT_EQ(parse_response(get("/site/?" + std::string(12000, 'q'))).status, 200);
}

}  // namespace
