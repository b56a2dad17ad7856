#pragma once

// Everything written back to a client: the header, the error catalogue and
// its pages, file bodies and directory pages. All bytes to the client go
// through write_all or, for file bodies, sendfile in serve_file.

#include <cstddef>
#include <string_view>
#include <sys/stat.h>

// --- error catalogue (send_error.cpp) ---

// The failures a worker can answer with; `none` means the stage succeeded.
enum class error_key : unsigned char {
    none,
    bad_request_line,
    method_not_supported,
    bad_percent_encoding,
    forbidden_path,
    path_not_found,
    object_not_servable,
    file_not_found,
    listing_failed,
    target_too_long,
    moved_permanently,  // not a failure: the page of a redirect
};

struct error_row {
    int status;
    const char* reason;
    const char* message;
};

// REQUIRES: key != error_key::none.
const error_row& error_row_for(error_key key);

// Error pages are formatted into a buffer of this size.
inline constexpr std::size_t error_page_buffer_size = 1024;

// Formats the HTML page of `row` into `out` and gives its length.
std::size_t format_error_page(char (&out)[error_page_buffer_size], const error_row& row);

// Sends the header and page of `key`. For HEAD the header alone goes out,
// announcing the same Content-Length as for GET.
void send_error(int fd, error_key key, bool head_only);

// --- header (send_header.cpp) ---

inline constexpr std::size_t header_buffer_size = 512;

// Formats the response header into `out` and gives its length (cut at the
// buffer's size, which the fixed reasons and types never reach).
std::size_t format_header(char (&out)[header_buffer_size], int status, const char* reason,
                          const char* content_type, long long content_length);

// The header without its last line and the empty line after it, for a
// response that adds a field of its own before them (a redirect's
// Location); `header_end` completes it.
std::size_t format_header_fields(char (&out)[header_buffer_size], int status, const char* reason,
                                 const char* content_type, long long content_length);
inline constexpr std::string_view header_end = "Connection: close\r\n\r\n";

// --- redirects (send_redirect.cpp) ---

// Sends 301 to the directory `path` with a final "/": Location is `path` in
// its link form (format_link_base) and, when the request had one, "?" and
// `query` with every byte outside visible ASCII percent-encoded. The page is
// the error-page format; for HEAD the header alone goes out.
void send_redirect(int fd, const char* path, std::string_view query, bool head_only);

// Formats and writes the header. `more_follows` tells the kernel that a
// body comes right after, so the two can leave in the same packet.
void send_header(int fd, int status, const char* reason, const char* content_type,
                 long long content_length, bool more_follows);

// --- writing (write_all.cpp) ---

// Writes all `length` bytes to the socket `fd` without blocking in the send,
// retrying interrupted and partial writes and waiting while the socket is
// full. A failure, or write_stall_ms in which the client takes nothing (no
// byte goes out, none queued is acknowledged), drops the rest silently. Returns false when bytes
// were dropped.
bool write_all(int fd, const void* data, std::size_t length, bool more_follows = false);

// The stall clock that write_all keeps, for senders of their own (sendfile):
// note_send_progress after bytes went out; wait_writable after a send that
// could not go on, which waits for room for at most what is left of
// write_stall_ms since the last progress (a send, or the client taking some
// of the queue), and gives false (the response is then dropped) when that
// passes; note_send_failure after any other failure.
void note_send_progress();
bool wait_writable(int fd);
void note_send_failure();

// True once any part of the response was dropped: a stall or a failure.
bool response_dropped();

// --- handing the rest to the parent (hand_off.cpp) ---
// The channel a worker hands its connection back on (-1: none), and
// whether it does so right after the header of a file (the start-up
// trial, so that every call of a hand-off is made once).
void set_hand_off_channel(int fd, bool hand_off_at_once);
bool hands_off_at_once();
// Hands the parent the connection and the file with the bytes from
// `offset` to `end` still to send. False, with nothing handed, where the
// channel is full or the file system cannot tell whether a read would wait
// for the disk: the worker then sends the rest itself.
bool hand_off_body(int conn_fd, int file_fd, long long offset, long long end);
// Hands the parent a connection whose response is all queued, for the
// lingering close.
bool hand_off_close(int conn_fd);
// Whether the connection is the parent's now.
bool response_handed_off();

// --- files (serve_file.cpp, content_type.cpp) ---

// The content type for `name`, from the text after its last dot.
const char* content_type_for(std::string_view name);

// Answers with the regular file open on `fd`, whose `status` the caller
// read and found to be a regular file (both callers need it for their own
// choice first); `name` chooses the content type. The caller keeps
// ownership of `fd`.
void serve_file(int conn_fd, std::string_view name, int fd, const struct stat& status,
                bool head_only);

// --- directories (serve_directory.cpp, listing_encode.cpp, text_buffer.cpp) ---

// Answers with the directory's index.html, or else with a generated listing.
// `path` is the decoded request path and `query` the request's query, which
// only a redirect repeats. The caller keeps ownership of `dir_fd`. Returns
// the error to send when nothing was sent.
error_key serve_directory(int conn_fd, const char* path, std::string_view query, int dir_fd,
                          bool head_only);

// A growable zero-terminated text; the listing page is its only user.
struct text_buffer {
    char* data = nullptr;
    std::size_t length = 0;
    std::size_t capacity = 0;
};

// Appends `text`. When storage runs out the worker prints a "realloc" error
// and ends with status 1: there is no page to fall back to.
void text_append(text_buffer& buffer, std::string_view text);
// Makes room for `capacity` bytes in all, so that appends up to it need no
// further growth; ends the worker as text_append does when it cannot.
void text_reserve(text_buffer& buffer, std::size_t capacity);
void text_release(text_buffer& buffer);

// Writes into `out` (capacity `out_size`, at least 1) the percent-encoded
// form of `name`: letters, digits and "-._~" stay, every other byte becomes
// %XX; with `keep_slash`, "/" stays too. Stops early, at a whole byte, rather
// than overflow. Gives the output length.
std::size_t url_encode_name(std::string_view name, char* out, std::size_t out_size,
                            bool keep_slash = false);

// Room for the link form of the longest decoded path (4095 bytes): every
// byte encoded, and a final "/".
inline constexpr std::size_t link_base_size = 3 * 4095 + 2;

// Writes into `out` the decoded `path` with every run of "/" collapsed to
// one, percent-encoded byte by byte but for the slashes, and ending in "/".
// Gives its length.
std::size_t format_link_base(const char* path, char (&out)[link_base_size]);

// The length of the valid UTF-8 sequence that `text` starts with: 1 to 4,
// or 0 where its first byte begins none (overlong forms, surrogates and
// code points above U+10FFFF are not valid).
std::size_t utf8_sequence_length(std::string_view text);

// Writes into `out` the HTML-escaped form of `name` (the five characters
// " & ' < > replaced by entities), always valid UTF-8: each byte outside a
// valid sequence becomes U+FFFD. Stops early, at a whole character, rather
// than overflow. Gives the output length.
std::size_t html_escape_name(std::string_view name, char* out, std::size_t out_size);
