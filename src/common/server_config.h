#pragma once

#include <cstddef>

inline constexpr std::size_t root_buffer_size = 4096;

// Built once by the parent before the accept loop; every worker inherits its
// own copy and only reads it.
struct server_config {
    long port = 0;
    char root[root_buffer_size] = {};  // canonical absolute path, from realpath
    int listen_fd = -1;
    long worker_bound = 0;            // workers at once that the cgroup holds; 0: no bound
    bool bound_by_processes = false;  // the bound is the process limit's, not the memory's
    bool defers_accept = false;       // the kernel hands over a connection only once it has data
};
