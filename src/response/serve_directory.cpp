#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "response/response.h"
#include "common/unique_fd.h"

namespace {

// Escaping and encoding go through a small buffer, a few bytes at a time,
// straight into the page: no text is ever cut, and a fresh worker touches
// few stack pages.
constexpr std::size_t piece_length = 32;

void append_escaped(text_buffer& page, std::string_view text)
{
    char out[6 * piece_length + 1];
    for (; !text.empty(); text.remove_prefix(std::min(text.size(), piece_length))) {
        std::size_t length = html_escape_name(text.substr(0, piece_length), out, sizeof out);
        text_append(page, std::string_view(out, length));
    }
}

void append_encoded(text_buffer& page, std::string_view text)
{
    char out[3 * piece_length + 1];
    for (; !text.empty(); text.remove_prefix(std::min(text.size(), piece_length))) {
        std::size_t length = url_encode_name(text.substr(0, piece_length), out, sizeof out);
        text_append(page, std::string_view(out, length));
    }
}

// The absolute path of the parent: `link_base` without its last component
// ('/docs/' gives '/', '/a/b/' gives '/a/'). An absolute link is right
// whether or not the page was reached with a trailing slash.
std::string_view parent_of(std::string_view link_base)
{
    std::string_view trimmed = link_base.substr(0, link_base.size() - 1);
    std::size_t slash = trimmed.rfind('/');
    return slash == std::string_view::npos ? std::string_view("/") : link_base.substr(0, slash + 1);
}

// A directory, not following symbolic links; an entry whose status cannot be
// read counts as not a directory.
bool entry_is_directory(int dir_fd, const dirent& entry)
{
    if (entry.d_type != DT_UNKNOWN)
        return entry.d_type == DT_DIR;
    struct stat status;
    return ::fstatat(dir_fd, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(status.st_mode);
}

void append_entry(text_buffer& page, std::string_view link_base, std::string_view name,
                  bool is_directory)
{
    std::string_view suffix = is_directory ? "/" : "";
    text_append(page, "<a href=\"");
    text_append(page, link_base);
    append_encoded(page, name);
    text_append(page, suffix);
    text_append(page, "\">");
    append_escaped(page, name);
    text_append(page, suffix);
    text_append(page, "</a>\n");
}

// Builds the whole page before anything is sent, so its length is known for
// the header and a failure can still be answered with an error page.
error_key build_listing(text_buffer& page, const char* path, int dir_fd)
{
    int stream_fd = ::dup(dir_fd);
    if (stream_fd < 0)
        return error_key::listing_failed;
    DIR* stream = ::fdopendir(stream_fd);
    if (stream == nullptr) {
        ::close(stream_fd);
        return error_key::listing_failed;
    }
    // The stream now owns stream_fd; closedir closes it. A duplicate keeps
    // the caller's dir_fd open, and rewinding reads the entries from the start
    // even if the descriptor's offset had moved.
    ::rewinddir(stream);

    text_append(page, "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n");
    text_append(page, "<html>\n<head>\n<title>index of ");
    append_escaped(page, path);
    text_append(page, "</title>\n</head>\n<body>\n<h1>index of ");
    append_escaped(page, path);
    text_append(page, "</h1>\n<hr>\n<pre>");

    char link_base_text[link_base_size];
    std::string_view link_base(link_base_text, format_link_base(path, link_base_text));
    if (std::strcmp(path, "/") != 0) {
        text_append(page, "<a href=\"");
        text_append(page, parent_of(link_base));
        text_append(page, "\">../</a>\n");
    }

    // Entries appear in the order the directory yields them, dot files too.
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        append_entry(page, link_base, entry->d_name, entry_is_directory(dir_fd, *entry));
    }
    ::closedir(stream);

    text_append(page, "</pre>\n<hr>\n</body>\n</html>\n");
    return error_key::none;
}

}  // namespace

error_key serve_directory(int conn_fd, const char* path, std::string_view query, int dir_fd,
                          bool head_only)
{
    // Non-blocking, so that a FIFO named index.html cannot hold the worker;
    // anything but a regular file is refused.
    unique_fd index(::openat(dir_fd, "index.html",
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (index.valid()) {
        struct stat status;
        if (::fstat(index.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return error_key::file_not_found;
        // A page resolves its relative links against its own URL: served as
        // '/docs', its "style.css" would be fetched from '/style.css'. So
        // the browser is sent to '/docs/' first. (A listing needs no such
        // detour: its links are absolute.)
        std::size_t length = std::strlen(path);
        if (length == 0 || path[length - 1] != '/') {
            send_redirect(conn_fd, path, query, head_only);
            return error_key::none;
        }
        serve_regular_file(conn_fd, "index.html", index.get(), status, head_only);
        return error_key::none;
    }

    text_buffer page;
    error_key error = build_listing(page, path, dir_fd);
    if (error == error_key::none) {
        send_header(conn_fd, 200, "OK", "text/html; charset=utf-8", static_cast<long>(page.length),
                    !head_only);
        if (!head_only)
            write_all(conn_fd, page.data, page.length);
    }
    text_release(page);
    return error;
}
