#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "response/response.h"

namespace {

// Storage ran out: there is no page to fall back to.
[[noreturn]] void out_of_memory()
{
    std::perror("realloc");
    std::exit(1);
}

}  // namespace

void text_reserve(text_buffer& buffer, std::size_t capacity)
{
    if (buffer.capacity >= capacity)
        return;
    char* data = static_cast<char*>(std::realloc(buffer.data, capacity));
    if (data == nullptr)
        out_of_memory();
    buffer.data = data;
    buffer.capacity = capacity;
}

void text_append(text_buffer& buffer, std::string_view text)
{
    std::size_t n = text.size();
    if (buffer.capacity < buffer.length + n + 1) {
        // Growing past the need keeps appending amortised constant per byte.
        text_reserve(buffer, 2 * (buffer.capacity + n + 1));
    }
    if (n > 0)
        std::memcpy(buffer.data + buffer.length, text.data(), n);
    buffer.length += n;
    buffer.data[buffer.length] = '\0';
}

void text_release(text_buffer& buffer)
{
    std::free(buffer.data);
    buffer = text_buffer{};
}
