// Decoding and path checks: whatever passes must be safe to walk.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "request/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= request_buffer_size)
        return 0;  // the request line never hands on a longer target
    std::string_view target(reinterpret_cast<const char*>(data), size);
    if (target.find('\0') != std::string_view::npos)
        return 0;  // tokens end at a zero byte

    char path[path_buffer_size + 16];
    std::memset(path, 0x5a, sizeof path);
    error_key error = decode_target(target, *reinterpret_cast<char(*)[path_buffer_size]>(path));
    require(error == error_key::none || error == error_key::bad_percent_encoding ||
            error == error_key::target_too_long);
    for (std::size_t i = path_buffer_size; i < sizeof path; ++i)
        require(path[i] == 0x5a);  // nothing written past the buffer
    if (error != error_key::none)
        return 0;

    std::size_t length = ::strnlen(path, path_buffer_size);
    require(length < path_buffer_size);
    require(length <= target.size());
    // A target without anything to decode or cut comes through unchanged.
    if (target.find_first_of("%?#") == std::string_view::npos)
        require(std::string_view(path, length) == target);

    if (check_path(path) != error_key::none)
        return 0;
    require(path[0] == '/');
    require(std::strchr(path, '\\') == nullptr);
    for (const char* p = path; *p != '\0';) {
        while (*p == '/')
            ++p;
        const char* start = p;
        while (*p != '\0' && *p != '/')
            ++p;
        require(!(p - start == 2 && start[0] == '.' && start[1] == '.'));
    }
    return 0;
}
