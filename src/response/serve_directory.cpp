#include <algorithm>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "response/response.h"
#include "common/text_scan.h"
#include "common/unique_fd.h"

namespace {

// Escaping and encoding go through a small buffer, a few bytes at a time,
// straight into the page: no text is ever cut, and a fresh worker touches
// few stack pages.
constexpr std::size_t piece_length = 32;

void append_escaped(text_buffer& page, std::string_view text)
{
    // A piece never ends inside a UTF-8 sequence: cut there, its halves
    // would each be shown as invalid bytes.
    char out[6 * (piece_length + 3) + 1];
    while (!text.empty()) {
        std::size_t piece = std::min(text.size(), piece_length);
        for (std::size_t extra = 0; extra < 3 && piece < text.size() &&
                                    (static_cast<unsigned char>(text[piece]) & 0xc0) == 0x80;
             ++extra)
            ++piece;
        std::size_t length = html_escape_name(text.substr(0, piece), out, sizeof out);
        text_append(page, std::string_view(out, length));
        text.remove_prefix(piece);
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

// One record of getdents64, as the kernel lays it out.
struct directory_record {
    std::uint64_t inode;
    std::int64_t next_offset;
    unsigned short length;
    unsigned char type;
    char name[1];  // zero-terminated, and padded to `length`
};

// A directory, not following symbolic links; an entry whose status cannot be
// read counts as not a directory.
bool entry_is_directory(int dir_fd, const directory_record& entry)
{
    if (entry.type != DT_UNKNOWN)
        return entry.type == DT_DIR;
    struct stat status;
    return ::fstatat(dir_fd, entry.name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(status.st_mode);
}

bool is_dot_or_dot_dot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// One line per entry: a link to it, or, for a name that holds a backslash
// (which every request refuses), the name alone, so that no link on the
// page leads to a refusal.
void append_entry(text_buffer& page, std::string_view link_base, std::string_view name,
                  bool is_directory)
{
    std::string_view suffix = is_directory ? "/" : "";
    if (find_byte(name, '\\') != not_found) {
        append_escaped(page, name);
        text_append(page, suffix);
        text_append(page, "\n");
        return;
    }
    text_append(page, "<a href=\"");
    text_append(page, link_base);
    append_encoded(page, name);
    text_append(page, suffix);
    text_append(page, "\">");
    append_escaped(page, name);
    text_append(page, suffix);
    text_append(page, "</a>\n");
}

// The most that the entries of one batch can add to the page: a link of
// `link_base` and the name encoded (3 bytes a byte), the name escaped (6),
// and the markup around them.
std::size_t batch_bound(const char* records, long size, std::size_t link_base_length)
{
    std::size_t bound = 0;
    for (long at = 0; at < size;) {
        const auto* entry = reinterpret_cast<const directory_record*>(records + at);
        bound += link_base_length + 9 * text_length(entry->name) + 24;
        at += entry->length;
    }
    return bound;
}

// Builds the whole page before anything is sent, so its length is known for
// the header and a failure can still be answered with an error page. The
// entries come from the kernel in batches, into a buffer on the stack; the
// page grows at most once a batch, to what that batch can need.
error_key build_listing(text_buffer& page, const char* path, int dir_fd)
{
    // The walk opened dir_fd just now, so it reads from the first entry.
    alignas(directory_record) char records[16384];
    long size = ::getdents64(dir_fd, records, sizeof records);
    if (size < 0)
        return error_key::listing_failed;

    char link_base_text[link_base_size];
    std::size_t link_base_length = format_link_base(path, link_base_text);
    std::string_view link_base(link_base_text, link_base_length);
    std::size_t path_length = text_length(path);
    text_reserve(page, 320 + 12 * path_length + link_base.size() +
                           batch_bound(records, size, link_base.size()));

    text_append(page, "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2 Final//EN\">\n");
    text_append(page, "<html>\n<head>\n<title>index of ");
    append_escaped(page, path);
    text_append(page, "</title>\n</head>\n<body>\n<h1>index of ");
    append_escaped(page, path);
    text_append(page, "</h1>\n<hr>\n<pre>");
    if (std::strcmp(path, "/") != 0) {
        text_append(page, "<a href=\"");
        text_append(page, parent_of(link_base));
        text_append(page, "\">../</a>\n");
    }

    // Entries appear in the order the directory yields them, dot files too.
    while (size > 0) {
        text_reserve(page, page.length + batch_bound(records, size, link_base.size()) + 64);
        for (long at = 0; at < size;) {
            const auto* entry = reinterpret_cast<const directory_record*>(records + at);
            at += entry->length;
            if (!is_dot_or_dot_dot(entry->name))
                append_entry(page, link_base,
                             std::string_view(entry->name, text_length(entry->name)),
                             entry_is_directory(dir_fd, *entry));
        }
        size = ::getdents64(dir_fd, records, sizeof records);
    }
    // A failure after the first batch would list the directory in part.
    if (size < 0)
        return error_key::listing_failed;

    text_append(page, "</pre>\n<hr>\n</body>\n</html>\n");
    return error_key::none;
}

}  // namespace

error_key serve_directory(int conn_fd, const char* path, std::string_view query, int dir_fd,
                          bool head_only)
{
    // Non-blocking, so that a FIFO named index.html cannot hold the worker;
    // anything but a regular file is refused.
    unique_fd index(
        ::openat(dir_fd, "index.html", O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (index.valid()) {
        struct stat status;
        if (::fstat(index.get(), &status) != 0 || !S_ISREG(status.st_mode))
            return error_key::file_not_found;
        // A page resolves its relative links against its own URL: served as
        // '/docs', its "style.css" would be fetched from '/style.css'. So
        // the browser is sent to '/docs/' first. (A listing needs no such
        // detour: its links are absolute.)
        std::size_t length = text_length(path);
        if (length == 0 || path[length - 1] != '/') {
            send_redirect(conn_fd, path, query, head_only);
            return error_key::none;
        }
        serve_file(conn_fd, "index.html", index.get(), status, head_only);
        return error_key::none;
    }

    text_buffer page;
    error_key error = build_listing(page, path, dir_fd);
    if (error == error_key::none) {
        send_header(conn_fd, 200, "OK", "text/html; charset=utf-8",
                    static_cast<long long>(page.length), !head_only);
        if (!head_only)
            write_all(conn_fd, page.data, page.length);
    }
    text_release(page);
    return error;
}
