#include <fcntl.h>

#include "common/text_scan.h"
#include "request/request.h"

unique_fd open_root(const char* root)
{
    return unique_fd(::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Opens the path hand over hand: each component relative to the directory
// before it, refusing symbolic links at every step, so no name below the
// root can lead out of it.
error_key walk_path(unique_fd root, const char* path, unique_fd& object)
{
    unique_fd current = std::move(root);
    if (!current.valid())
        return error_key::path_not_found;

    const char* p = path;
    while (*p == '/')
        ++p;
    while (*p != '\0') {
        // Copied as it is measured, so that a name too long to open is
        // refused before any of it is used.
        char component[max_component_length + 1];
        std::size_t length = 0;
        for (; p[length] != '\0' && p[length] != '/'; ++length) {
            if (length == max_component_length)
                return error_key::path_not_found;
            component[length] = p[length];
        }
        component[length] = '\0';

        p += length;
        while (*p == '/')
            ++p;
        // The last component may be anything; it is opened non-blocking and
        // without taking a terminal, so a FIFO or a device cannot hold the
        // worker, and the type check refuses them afterwards.
        int flags = *p == '\0' ? O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY
                               : O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
        unique_fd next(::openat(current.get(), component, flags));
        if (!next.valid())
            return error_key::path_not_found;
        current = std::move(next);
    }
    object = std::move(current);
    return error_key::none;
}
