#include <sys/stat.h>

#include "request/request.h"

error_key serve_object(int conn_fd, const char* path, std::string_view query, int fd,
                       bool head_only)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return error_key::object_not_servable;
    if (S_ISDIR(status.st_mode))
        return serve_directory(conn_fd, path, query, fd, head_only);
    if (S_ISREG(status.st_mode)) {
        serve_file(conn_fd, path, fd, status, head_only);
        return error_key::none;
    }
    return error_key::object_not_servable;
}
