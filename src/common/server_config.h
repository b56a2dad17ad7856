#pragma once

#include <cstddef>

inline constexpr std::size_t root_buffer_size = 4096;

// Built once by the parent before the accept loop; every worker inherits its
// own copy and only reads it.
struct server_config {
    long port = 0;
    char root[root_buffer_size] = {};  // canonical absolute path, from realpath
    int listen_fd = -1;
    int root_fd = -1;                 // the root, held from start-up where nobody cannot reach it
    long worker_bound = 0;            // workers at once that the cgroup holds; 0: no bound
    bool bound_by_processes = false;  // the bound is the process limit's, not the memory's
    bool defers_accept = false;       // the kernel hands over a connection only once it has data
    unsigned long long memory_budget = 0;  // for workers and held connections; 0: no limit
    int hand_back_fd = -1;                 // the parent's end of the hand-off channel
    int hand_off_fd = -1;                  // the workers' end
    bool hand_off_at_once = false;         // a worker hands off right after a file's header
    int forker_fd = -1;                    // the parent's end of the channel to the forker
    int forker_side_fd = -1;               // the forker's end
    // What the kernel has charged the cgroup, read near its memory limit
    // (0: no limit): memory.current or v1's usage, and memory.stat.
    int memory_usage_fd = -1;
    int memory_stat_fd = -1;
    bool memory_v2 = false;
    unsigned long long memory_limit = 0;
};
