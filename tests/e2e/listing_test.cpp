#include <gtest/gtest.h>

#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "test_support.h"

namespace {

const std::string page_start = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n";
const std::string page_end = "</pre>\n<hr>\n</body>\n</html>\n";

// The page for `title_html` (already escaped) with `lines` after <pre>.
std::string listing_page(const std::string& title_html, const std::string& lines)
{
    return page_start + "<html>\n<head>\n<title>index of " + title_html +
           "</title>\n</head>\n<body>\n<h1>index of " + title_html + "</h1>\n<hr>\n<pre>" + lines +
           page_end;
}

std::string listing_response(const std::string& title_html, const std::string& lines)
{
    std::string page = listing_page(title_html, lines);
    return expected_header(200, "OK", "text/html; charset=utf-8", static_cast<long>(page.size())) +
           page;
}

// The entry names of `dir` in the order the directory yields them, which
// is the order the listing uses.
std::vector<std::string> directory_order(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    return names;
}

struct entry_form {
    std::string link;  // after the link base; empty for a name listed unlinked
    std::string text;
};

class listing : public served_tree {
protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir((root + "/docs").c_str(), 0755), 0);
        write_file(root + "/docs/a b.txt", "ab\n");
        ASSERT_EQ(mkdir((root + "/docs/img").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/empty").c_str(), 0755), 0);
        start();
    }
    // The entry lines of directory `dir` (relative to the root), in its order.
    std::string entry_lines(const std::string& dir, const std::string& link_base,
                            const std::map<std::string, entry_form>& forms)
    {
        std::string lines;
        for (const std::string& name : directory_order(root + dir)) {
            const entry_form& form = forms.at(name);
            lines += form.link.empty()
                         ? form.text + "\n"
                         : "<a href=\"" + link_base + form.link + "\">" + form.text + "</a>\n";
        }
        return lines;
    }
};

TEST_F(listing, a_small_directory_gives_the_exact_page)
{
    std::map<std::string, entry_form> forms = {{"a b.txt", {"a%20b.txt", "a b.txt"}},
                                               {"img", {"img/", "img/"}}};
    std::string lines = entry_lines("/docs", "/docs/", forms);
    EXPECT_EQ(get("/docs/"), listing_response("/docs/", "<a href=\"/\">../</a>\n" + lines));
    // No redirect without the slash: the same links, another title.
    EXPECT_EQ(get("/docs"), listing_response("/docs", "<a href=\"/\">../</a>\n" + lines));
    std::string page = listing_page("/docs", "<a href=\"/\">../</a>\n" + lines);
    EXPECT_EQ(get("/docs", "HEAD"), expected_header(200, "OK", "text/html; charset=utf-8",
                                                    static_cast<long>(page.size())));
}

TEST_F(listing, the_parent_link_is_absolute_and_only_below_the_root)
{
    std::map<std::string, entry_form> forms = {{"docs", {"docs/", "docs/"}},
                                               {"empty", {"empty/", "empty/"}}};
    std::string root_lines = entry_lines("", "/", forms);
    EXPECT_EQ(get("/"), listing_response("/", root_lines));
    // '//' names the root, yet it is not "/": it has a parent link, and its
    // links are not '//name', which a browser would take for a host.
    EXPECT_EQ(get("//"), listing_response("//", "<a href=\"/\">../</a>\n" + root_lines));
    EXPECT_EQ(get("/docs/img"), listing_response("/docs/img", "<a href=\"/docs/\">../</a>\n"));
    EXPECT_EQ(get("//docs//img//"),
              listing_response("//docs//img//", "<a href=\"/docs/\">../</a>\n"));
    EXPECT_EQ(get("/empty"), listing_response("/empty", "<a href=\"/\">../</a>\n"));
    EXPECT_EQ(get("/./empty"), listing_response("/./empty", "<a href=\"/./\">../</a>\n"));
}

TEST_F(listing, names_are_encoded_in_links_and_escaped_in_text)
{
    const std::string dir = "/names";
    ASSERT_EQ(mkdir((root + dir).c_str(), 0755), 0);
    std::map<std::string, entry_form> forms = {
        {"x y&z", {"x%20y%26z", "x y&amp;z"}},
        {"x\"y", {"x%22y", "x&quot;y"}},
        {"it's", {"it%27s", "it&#39;s"}},
        {"<b>bold</b>", {"%3Cb%3Ebold%3C%2Fb%3E", "&lt;b&gt;bold&lt;/b&gt;"}},
        {"a#b", {"a%23b", "a#b"}},
        {"q?x=1", {"q%3Fx%3D1", "q?x=1"}},
        {"100%", {"100%25", "100%"}},
        {"a+b", {"a%2Bb", "a+b"}},
        {"caf\xc3\xa9", {"caf%C3%A9", "caf\xc3\xa9"}},
        // Not UTF-8: each invalid byte is shown as U+FFFD, the link keeps it.
        {"\xff\xfe caf\xe9", {"%FF%FE%20caf%E9", "\xef\xbf\xbd\xef\xbf\xbd caf\xef\xbf\xbd"}},
        {"cut\xe2\x82", {"cut%E2%82", "cut\xef\xbf\xbd\xef\xbf\xbd"}},
        // A sequence across the server's 32-byte pieces stays whole.
        {std::string(31, 'a') + "\xc3\xa9",
         {std::string(31, 'a') + "%C3%A9", std::string(31, 'a') + "\xc3\xa9"}},
        {".env", {".env", ".env"}},
        {"sub dir", {"sub%20dir/", "sub dir/"}},
        {"link-to-dir", {"link-to-dir", "link-to-dir"}},
        // Every path with a backslash is refused, so such a name is not linked.
        {"a\\b.txt", {"", "a\\b.txt"}},
        {"c\\d", {"", "c\\d/"}},
    };
    for (const auto& [name, form] : forms) {
        if (name == "sub dir" || name == "c\\d")
            ASSERT_EQ(mkdir((root + dir + "/" + name).c_str(), 0755), 0);
        else if (name == "link-to-dir")
            ASSERT_EQ(symlink("sub dir", (root + dir + "/" + name).c_str()), 0);
        else
            write_file(root + dir + "/" + name, name);
    }
    EXPECT_EQ(get(dir), listing_response(dir, "<a href=\"/\">../</a>\n" +
                                                  entry_lines(dir, "/names/", forms)));

    // Every link of every listing, followed from the root, leads somewhere
    // other than a refusal (a symbolic link is not found, by design).
    std::vector<std::string> pending = {"/"};
    std::size_t followed = 0;
    while (!pending.empty() && followed < 200) {
        std::string target = pending.back();
        pending.pop_back();
        ++followed;
        parsed_response response = parse_response(get(target));
        EXPECT_NE(response.status, 403) << target;
        if (target.back() != '/' || response.status != 200)
            continue;
        for (std::size_t at = 0;
             (at = response.body.find("<a href=\"", at)) != std::string::npos;) {
            at += 9;
            std::string link = response.body.substr(at, response.body.find('"', at) - at);
            if (link.size() > target.size() && link.rfind(target, 0) == 0)
                pending.push_back(link);
        }
    }
    EXPECT_GT(followed, forms.size()) << "the crawl did not reach the names";
}

TEST_F(listing, a_directory_name_with_markup_is_escaped_in_title_and_encoded_in_links)
{
    struct {
        std::string name, encoded, title;
    } const cases[] = {
        {"<i>#x?y", "%3Ci%3E%23x%3Fy", "&lt;i&gt;#x?y"},
        {"\xe9t\xe9", "%E9t%E9", "\xef\xbf\xbdt\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(mkdir((root + "/" + c.name).c_str(), 0755), 0);
        write_file(root + "/" + c.name + "/f.txt", "f");
        std::string lines =
            "<a href=\"/\">../</a>\n<a href=\"/" + c.encoded + "/f.txt\">f.txt</a>\n";
        EXPECT_EQ(get("/" + c.encoded), listing_response("/" + c.title, lines));
    }
}

TEST_F(listing, index_html_answers_for_its_directory_when_it_is_a_regular_file)
{
    write_file(root + "/docs/index.html", "<p>index</p>\n");
    std::string header = expected_header(200, "OK", "text/html; charset=utf-8", 13);
    EXPECT_EQ(get("/docs/"), header + "<p>index</p>\n");
    EXPECT_EQ(get("//docs//"), header + "<p>index</p>\n");
    EXPECT_EQ(get("/docs/", "HEAD"), header);
}

TEST_F(listing, an_index_html_link_is_listed_and_an_index_html_directory_is_refused)
{
    write_file(root + "/target.html", "t");
    ASSERT_EQ(symlink("../target.html", (root + "/empty/index.html").c_str()), 0);
    EXPECT_EQ(get("/empty/"),
              listing_response("/empty/", "<a href=\"/\">../</a>\n"
                                          "<a href=\"/empty/index.html\">index.html</a>\n"));
    ASSERT_EQ(mkdir((root + "/docs/img/index.html").c_str(), 0755), 0);
    EXPECT_EQ(get("/docs/img/"),
              expected_error(404, "not found", "file not found. perhaps you typed the url wrong?"));
    ASSERT_EQ(mkfifo((root + "/docs/index.html").c_str(), 0644), 0);
    EXPECT_EQ(http_exchange(server.port, "GET /docs/ HTTP/1.1\r\n\r\n", 3000),
              expected_error(404, "not found", "file not found. perhaps you typed the url wrong?"));
}

TEST_F(listing, a_directory_the_server_cannot_read_is_not_found)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the server as an unprivileged user";
    ASSERT_EQ(mkdir((root + "/closed").c_str(), 0711), 0);
    write_file(root + "/closed/inside.txt", "inside");
    start({.as_nobody = true});
    EXPECT_EQ(get("/closed/"),
              expected_error(404, "not found",
                             "the requested resource does not exist. perhaps you typed the url "
                             "wrong?"));
    // Every directory on the way is opened for reading, so one that may only
    // be searched cannot be passed through either.
    EXPECT_EQ(parse_response(get("/closed/inside.txt")).status, 404);
}

}  // namespace
