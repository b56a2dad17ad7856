#include "common/text_scan.h"
#include "request/request.h"

// The first wall of confinement (the walk, refusing symbolic links, is the
// second): no component may climb out, no backslash may pose as a separator
// for some other reader, and only absolute paths name anything.
error_key check_path(const char* path)
{
    if (path[0] != '/')
        return error_key::forbidden_path;
    if (find_byte(path, '\\') != not_found)
        return error_key::forbidden_path;
    for (const char* p = path; *p != '\0';) {
        while (*p == '/')
            ++p;
        const char* start = p;
        while (*p != '\0' && *p != '/')
            ++p;
        if (p - start == 2 && start[0] == '.' && start[1] == '.')
            return error_key::forbidden_path;
    }
    return error_key::none;
}
