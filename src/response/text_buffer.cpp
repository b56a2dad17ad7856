#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "response/response.h"

namespace {

constexpr std::size_t page_size = 4096;

// Storage ran out: there is no page to fall back to.
[[noreturn]] void out_of_memory()
{
    std::perror("realloc");
    std::exit(1);
}

}  // namespace

// The storage is mapped from the kernel rather than taken from the heap: a
// worker's heap is its parent's, strewn with free chunks from start-up, and
// the allocator would write to (and so copy) page after page of them to
// find room. Fresh mapped pages cost only the ones the page text fills.
void text_reserve(text_buffer& buffer, std::size_t capacity)
{
    if (buffer.capacity >= capacity)
        return;
    capacity = (capacity + page_size - 1) / page_size * page_size;
    void* data =
        buffer.data == nullptr
            ? ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
            : ::mremap(buffer.data, buffer.capacity, capacity, MREMAP_MAYMOVE);
    if (data == MAP_FAILED)
        out_of_memory();
    buffer.data = static_cast<char*>(data);
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
    if (buffer.data != nullptr)
        ::munmap(buffer.data, buffer.capacity);
    buffer = text_buffer{};
}
