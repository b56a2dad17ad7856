#pragma once

// Request handling inside a worker: from the bytes received to an open
// descriptor of the object asked for, and on to its response.

#include <cstddef>
#include <string_view>

#include "common/server_config.h"
#include "common/unique_fd.h"
#include "response/response.h"

inline constexpr std::size_t request_buffer_size = 16384;  // 16383 bytes and a zero
inline constexpr std::size_t max_method_length = 15;
inline constexpr std::size_t max_version_length = 15;
inline constexpr std::size_t path_buffer_size = 4096;  // decoded path and its zero
inline constexpr std::size_t max_component_length = 255;

// The three tokens of the request line. The views point into the request
// buffer and live as long as it does.
struct request_line {
    std::string_view method;
    std::string_view target;
    std::string_view version;
    bool head_only = false;
};

// The worker body: answers one request on `conn_fd`, whose head is due by
// `head_due_ms` (monotonic: the head deadline after the accept), and ends
// the process.
[[noreturn]] void handle_connection(int conn_fd, const server_config& config,
                                    long long head_due_ms);

// Reads the request head into `buffer` until it holds an empty line, the
// buffer is full, the stream ends, or `due_ms` (monotonic) has passed.
// Gives the number of bytes received; the text is always zero-terminated.
std::size_t read_request_head(int conn_fd, char (&buffer)[request_buffer_size], long long due_ms);

// True when the text of `data` (up to its first zero byte) holds an end of
// head: "\r\n\r\n" or "\n\n".
bool head_is_complete(std::string_view data);

// The length of the head in `data` through its end marker (the first
// "\r\n\r\n", or else the first "\n\n", in the text before any zero byte),
// or 0 when it has none.
std::size_t head_length(std::string_view data);

// Splits the request text into its three tokens and checks the method. The
// method and version are cut at their limits, the rest of a longer run
// starting the next token; the target is the whole run.
// Gives bad_request_line, method_not_supported or none.
error_key parse_request_line(std::string_view text, request_line& line);

// Cuts query and fragment off `target` and percent-decodes the rest into
// `path`; "+" stays "+". Gives bad_percent_encoding (also for a decoded zero
// byte), target_too_long (a path of more than path_buffer_size - 1 bytes)
// or none.
error_key decode_target(std::string_view target, char (&path)[path_buffer_size]);

// The query of `target` as sent: what follows its first "?" up to a "#",
// empty when there is none (a "?" after the "#" belongs to the fragment).
std::string_view query_of(std::string_view target);

// Refuses a path that has a ".." component, a backslash, or no leading "/".
error_key check_path(const char* path);

// Opens the canonical root as a directory, afresh for every request, so a
// root replaced after start-up is served at once. Invalid when it cannot.
unique_fd open_root(const char* root);

// Opens the object that `path` names below `root`, one component at a time,
// never following a symbolic link. Takes the root's descriptor and closes
// each directory once the next is open. On success `object` owns the
// descriptor; on failure nothing is left open.
error_key walk_path(unique_fd root, const char* path, unique_fd& object);

// Answers from the object's type: directory, regular file, or an error.
// `query` is the request's, for a redirect to repeat. The caller keeps
// ownership of `fd`.
error_key serve_object(int conn_fd, const char* path, std::string_view query, int fd,
                       bool head_only);
