#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "test_support.h"

namespace {

std::string percent_decode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string find_chromium()
{
    for (const char* candidate : {"/usr/bin/chromium", "/usr/bin/chromium-browser"})
        if (access(candidate, X_OK) == 0)
            return candidate;
    return "";
}

// What headless Chromium holds once `url` has loaded and run its scripts.
std::string dump_dom(const std::string& chromium, const std::string& profile,
                     const std::string& url)
{
    std::string command =
        chromium +
        " --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking"
        " --disable-component-update --disable-sync --disable-quic --user-data-dir=" +
        profile + " --virtual-time-budget=30000 --dump-dom '" + url + "' 2>/dev/null";
    return command_output(command);
}

// The page the browser loads: it opens each listing in a frame, follows
// every link exactly as the browser resolved it, and reports what came back.
const char* checker_page = R"(<!DOCTYPE html>
<html><body><pre id="out">running</pre><script>
const listings = LISTINGS;
function open_frame(url) {
  return new Promise(resolve => {
    const frame = document.createElement('iframe');
    frame.onload = () => resolve(frame);
    frame.src = url;
    document.body.appendChild(frame);
  });
}
(async () => {
  const lines = [];
  try {
    for (const url of listings) {
      const frame = await open_frame(url);
      for (const a of Array.from(frame.contentDocument.links)) {
        const response = await fetch(a.href);
        const body = await response.text();
        lines.push([encodeURIComponent(url), encodeURIComponent(a.textContent),
                    encodeURIComponent(a.href), response.status,
                    encodeURIComponent(body.slice(0, 400))].join(' '));
      }
    }
    lines.push('DONE');
  } catch (e) {
    lines.push('ERROR ' + encodeURIComponent(String(e)));
  }
  document.getElementById('out').textContent = lines.join('\n');
})();
</script></body></html>
)";

struct followed_link {
    std::string listing, text, href, body;
    int status = 0;
};

// A served tree and a headless Chromium with a profile of its own.
class browser : public served_tree {
protected:
    void SetUp() override
    {
        chromium = find_chromium();
        if (chromium.empty())
            GTEST_SKIP() << "chromium is not installed";
    }
    void TearDown() override
    {
        served_tree::TearDown();
        remove_tree(profile);
    }
    // The page at `path` once Chromium has loaded it and run its scripts.
    std::string dom_of(const std::string& path)
    {
        return dump_dom(chromium, profile,
                        "http://127.0.0.1:" + std::to_string(server.port) + path);
    }

    std::string chromium;
    std::string profile = make_temp_dir();
};

TEST_F(browser, follows_every_listing_link_as_a_browser_resolves_it)
{
    const std::vector<std::string> names = {
        "space name.txt", "amp&er.txt", "dq\"uote.txt", "sq'uote.txt", "lt<gt>.txt",
        "hash#tag.txt",   "what?.txt",  "100%.txt",     "a+b.txt",     "caf\xc3\xa9.txt",
    };
    const std::string tricky_dir = "<b>dir #1?";
    ASSERT_EQ(mkdir((root + "/tricky").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/tricky/" + tricky_dir).c_str(), 0755), 0);
    std::map<std::string, std::string> expected_text_to_body;
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string content = "content-" + std::to_string(i);
        write_file(root + "/tricky/" + names[i], content);
        write_file(root + "/tricky/" + tricky_dir + "/" + names[i], "inner-" + content);
    }

    // One listing with a trailing slash, one (of the tricky directory) without.
    std::string checker = checker_page;
    checker.replace(checker.find("LISTINGS"), 8, "['/tricky/', '/tricky/%3Cb%3Edir%20%231%3F']");
    write_file(root + "/check.html", checker);

    start();
    std::string dom = dom_of("/check.html");

    std::size_t start = dom.find("<pre id=\"out\">");
    std::size_t end = dom.find("</pre>");
    ASSERT_NE(start, std::string::npos) << dom.substr(0, 500);
    std::istringstream report(dom.substr(start + 14, end - start - 14));
    std::vector<followed_link> links;
    std::string line;
    bool done = false;
    while (std::getline(report, line)) {
        if (line == "DONE") {
            done = true;
            break;
        }
        std::istringstream fields(line);
        followed_link link;
        fields >> link.listing >> link.text >> link.href >> link.status >> link.body;
        link.listing = percent_decode(link.listing);
        link.text = percent_decode(link.text);
        link.href = percent_decode(link.href);
        link.body = percent_decode(link.body);
        links.push_back(link);
    }
    ASSERT_TRUE(done) << dom.substr(start, 2000);

    // Each listing: a parent link, then one link per entry.
    std::map<std::string, int> per_listing;
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port);
    for (const followed_link& link : links) {
        SCOPED_TRACE(link.listing + " -> " + link.href);
        ++per_listing[link.listing];
        EXPECT_EQ(link.status, 200);
        bool inner = link.listing != "/tricky/";
        if (link.text == "../") {
            EXPECT_EQ(link.href, base + (inner ? "/tricky/" : "/"));
            EXPECT_EQ(link.body.rfind("<!DOCTYPE HTML", 0), 0u);
        } else if (link.text == tricky_dir + "/") {
            EXPECT_FALSE(inner);
            EXPECT_NE(link.body.find("index of /tricky/&lt;b&gt;dir #1?/"), std::string::npos);
        } else {
            bool known = false;
            for (std::size_t i = 0; i < names.size(); ++i) {
                if (link.text != names[i])
                    continue;
                known = true;
                std::string content = "content-" + std::to_string(i);
                EXPECT_EQ(link.body, inner ? "inner-" + content : content);
            }
            EXPECT_TRUE(known) << "unexpected link text " << link.text;
        }
    }
    EXPECT_EQ(per_listing["/tricky/"], static_cast<int>(names.size()) + 2);
    EXPECT_EQ(per_listing["/tricky/%3Cb%3Edir%20%231%3F"], static_cast<int>(names.size()) + 1);
}

// A page reached without its directory's final "/" must still find its
// relative stylesheet and module script: the server redirects first.
TEST_F(browser, an_index_page_asked_for_without_its_slash_finds_its_relative_files)
{
    ASSERT_EQ(mkdir((root + "/site").c_str(), 0755), 0);
    write_file(root + "/site/index.html",
               "<!DOCTYPE html><html><head><link rel=\"stylesheet\" href=\"style.css\">"
               "<script type=\"module\" src=\"app.mjs\"></script></head>"
               "<body><p id=\"styled\">styled</p><pre id=\"out\">not run</pre></body></html>\n");
    write_file(root + "/site/style.css", "#styled { color: rgb(1, 2, 3); }\n");
    write_file(root + "/site/app.mjs",
               "const color = getComputedStyle(document.getElementById('styled')).color;\n"
               "document.getElementById('out').textContent =\n"
               "    'module ran at ' + location.pathname + ', color ' + color;\n");

    start();
    std::string dom = dom_of("/site");
    EXPECT_NE(dom.find("<pre id=\"out\">module ran at /site/, color rgb(1, 2, 3)</pre>"),
              std::string::npos)
        << dom.substr(0, 1000);
}

}  // namespace
