// Feeds arbitrary bytes through head reception and the request line parser,
// exactly as a client's bytes reach them: through a stream socket.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool has_space(std::string_view token)
{
    for (char c : token)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\0')
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 60000)
        return 0;  // the socket buffer must hold it all; more is no different
    int socket_fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socket_fds) != 0)
        return 0;
    if (size > 0 && ::write(socket_fds[1], data, size) != static_cast<ssize_t>(size))
        std::abort();
    ::close(socket_fds[1]);

    char buffer[request_buffer_size];
    std::size_t received = read_request_head(socket_fds[0], buffer, monotonic_ms() + 10000);
    ::close(socket_fds[0]);

    require(received <= request_buffer_size - 1);
    require(received <= size);
    require(std::memcmp(buffer, data, received) == 0);
    require(buffer[received] == '\0');
    // Reading stops early only at an end marker.
    if (received < size && received < request_buffer_size - 1)
        require(head_is_complete(std::string_view(buffer, received)));

    request_line line;
    error_key error = parse_request_line(std::string_view(buffer, received), line);
    require(error == error_key::none || error == error_key::bad_request_line ||
            error == error_key::method_not_supported);
    require(line.head_only == (line.method == "HEAD"));
    if (error == error_key::none || error == error_key::method_not_supported) {
        require(!line.method.empty() && line.method.size() <= max_method_length);
        require(!line.target.empty() && line.target.size() < request_buffer_size);
        require(!line.version.empty() && line.version.size() <= max_version_length);
        require(!has_space(line.method) && !has_space(line.target) && !has_space(line.version));
        // Every token lies inside the received text.
        for (std::string_view token : {line.method, line.target, line.version})
            require(token.data() >= buffer && token.data() + token.size() <= buffer + received);
    }
    if (error == error_key::none)
        require(line.method == "GET" || line.method == "HEAD");
    return 0;
}
