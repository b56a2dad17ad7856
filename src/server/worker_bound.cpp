#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text_scan.h"
#include "server/server.h"

// A worker is a process of its own, and a few thousand idle connections
// cost more memory than a container is given. When the kernel runs out
// within the server's cgroup, it kills the largest process, which is the
// parent. So where the cgroup has a limit, the parent makes no more
// workers than it holds, and further clients wait in the listening queue.

namespace {

constexpr unsigned long long no_limit = 0;
// cgroup v1 writes "no limit" as the largest page-aligned signed value.
constexpr unsigned long long v1_unlimited = 1ull << 60;

// The first line of the file `dir`/`name`, into `out`; false when absent.
bool read_line(const char* dir, const char* name, char (&out)[4096])
{
    char path[root_buffer_size + 64];
    (void)std::snprintf(path, sizeof path, "%s/%s", dir, name);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t got = ::read(fd, out, sizeof out - 1);
    ::close(fd);
    if (got < 0)
        return false;
    out[got] = '\0';
    return true;
}

// A count as the kernel writes it: digits, or "max" for none (no_limit).
unsigned long long parse_count(const char* text)
{
    unsigned long long value = 0;
    bool digits = false;
    for (; *text >= '0' && *text <= '9'; ++text, digits = true)
        value = value * 10 + static_cast<unsigned long long>(*text - '0');
    return digits && value < v1_unlimited ? value : no_limit;
}

unsigned long long read_count(const char* dir, const char* name)
{
    char line[4096];
    return read_line(dir, name, line) ? parse_count(line) : no_limit;
}

// The value of `key` in a file of "key value" lines (memory.stat).
unsigned long long read_keyed(const char* dir, const char* name, std::string_view key)
{
    char text[4096];
    if (!read_line(dir, name, text))
        return no_limit;
    std::string_view all(text);
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = find_byte(all, '\n', at);
        std::string_view line = all.substr(at, end == not_found ? not_found : end - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ')
            return parse_count(line.data() + key.size() + 1);
        at = end == not_found ? all.size() : end + 1;
    }
    return no_limit;
}

unsigned long long smaller_limit(unsigned long long a, unsigned long long b)
{
    return a == no_limit ? b : b == no_limit ? a : (a < b ? a : b);
}

unsigned long long less(unsigned long long value, unsigned long long minus)
{
    return value > minus ? value - minus : 0;
}

bool is_directory(const char* path)
{
    struct stat status;
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

// The directory of the cgroup that `path` names under `mount`. A
// container without a cgroup namespace sees its host's path, but has its
// own cgroup mounted at the top; it is taken there.
void cgroup_dir(const char* mount, std::string_view path, char (&out)[root_buffer_size])
{
    (void)std::snprintf(out, sizeof out, "%s%.*s", mount, static_cast<int>(path.size()), path.data());
    if (!is_directory(out))
        (void)std::snprintf(out, sizeof out, "%s", mount);
}

// The smallest `name` limit of `dir` and the cgroups above it, up to
// `mount`: a parent's limit binds its children too.
unsigned long long limit_up_to(const char* mount, char (&dir)[root_buffer_size], const char* name)
{
    unsigned long long limit = no_limit;
    std::size_t top = text_length(mount);
    for (;;) {
        limit = smaller_limit(limit, read_count(dir, name));
        std::size_t length = text_length(dir);
        if (length <= top)
            return limit;
        std::size_t slash = find_last_byte(std::string_view(dir, length), '/');
        dir[slash == not_found || slash < top ? top : slash] = '\0';
    }
}

void read_v2(const char* root, std::string_view path, cgroup_limits& limits)
{
    char dir[root_buffer_size];
    cgroup_dir(root, path, dir);
    // Inactive file pages are the first the kernel takes back, so they
    // do not count as used.
    limits.memory_used = less(read_count(dir, "memory.current"),
                              read_keyed(dir, "memory.stat", "inactive_file"));
    limits.pids_used = read_count(dir, "pids.current");
    char walk[root_buffer_size];
    std::memcpy(walk, dir, sizeof dir);
    limits.memory_max = limit_up_to(root, walk, "memory.max");
    std::memcpy(walk, dir, sizeof dir);
    limits.pids_max = limit_up_to(root, walk, "pids.max");
}

void read_v1_memory(const char* mount, std::string_view path, cgroup_limits& limits)
{
    char dir[root_buffer_size];
    cgroup_dir(mount, path, dir);
    limits.memory_used = less(read_count(dir, "memory.usage_in_bytes"),
                              read_keyed(dir, "memory.stat", "total_inactive_file"));
    // The hierarchical limit is the smallest of this cgroup's and its
    // parents'; an old kernel may have only its own.
    limits.memory_max = smaller_limit(read_count(dir, "memory.limit_in_bytes"),
                                      read_keyed(dir, "memory.stat", "hierarchical_memory_limit"));
}

void read_v1_pids(const char* mount, std::string_view path, cgroup_limits& limits)
{
    char dir[root_buffer_size];
    cgroup_dir(mount, path, dir);
    limits.pids_used = read_count(dir, "pids.current");
    limits.pids_max = limit_up_to(mount, dir, "pids.max");
}

bool names_controller(std::string_view controllers, std::string_view name)
{
    for (std::size_t at = 0; at <= controllers.size();) {
        std::size_t end = find_byte(controllers, ',', at);
        if (end == not_found)
            end = controllers.size();
        if (controllers.substr(at, end - at) == name)
            return true;
        at = end + 1;
    }
    return false;
}

unsigned long long free_memory(const cgroup_limits& limits)
{
    return limits.memory_max > limits.memory_used + memory_reserve
               ? limits.memory_max - limits.memory_used - memory_reserve
               : 0;
}

}  // namespace

cgroup_limits read_cgroup_limits(const char* root, std::string_view self_cgroup)
{
    cgroup_limits limits;
    char v2_marker[root_buffer_size];
    (void)std::snprintf(v2_marker, sizeof v2_marker, "%s/cgroup.controllers", root);
    bool unified = ::access(v2_marker, F_OK) == 0;
    char mount[root_buffer_size];
    // Each line is "hierarchy:controllers:path"; cgroup v2's is "0::path".
    for (std::size_t at = 0; at < self_cgroup.size();) {
        std::size_t end = find_byte(self_cgroup, '\n', at);
        std::string_view line = self_cgroup.substr(at, end == not_found ? not_found : end - at);
        at = end == not_found ? self_cgroup.size() : end + 1;
        std::size_t first = find_byte(line, ':');
        std::size_t second = first == not_found ? not_found : find_byte(line, ':', first + 1);
        if (second == not_found)
            continue;
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        if (path == "/")
            path = "";
        if (controllers.empty() && unified) {
            read_v2(root, path, limits);
        } else if (names_controller(controllers, "memory")) {
            (void)std::snprintf(mount, sizeof mount, "%s/memory", root);
            read_v1_memory(mount, path, limits);
        } else if (names_controller(controllers, "pids")) {
            (void)std::snprintf(mount, sizeof mount, "%s/pids", root);
            read_v1_pids(mount, path, limits);
        }
    }
    return limits;
}

long derive_worker_bound(const cgroup_limits& limits, bool* by_processes)
{
    long bound = 0;
    if (limits.memory_max != no_limit) {
        unsigned long long free = free_memory(limits);
        unsigned long long workers = free / worker_memory_cost;
        bound = static_cast<long>(workers < 1 ? 1 : workers > 1000000 ? 1000000 : workers);
    }
    if (by_processes != nullptr)
        *by_processes = false;
    if (limits.pids_max != no_limit) {
        // The parent's own process and a few to spare for whatever else
        // runs beside it (a shell in the container, say).
        unsigned long long spare = limits.pids_used + 4;
        long workers = limits.pids_max > spare ? static_cast<long>(limits.pids_max - spare) : 1;
        if (bound == 0 || workers < bound) {
            bound = workers;
            if (by_processes != nullptr)
                *by_processes = true;
        }
    }
    return bound;
}

std::size_t derive_room_capacity(const cgroup_limits& limits, std::size_t descriptors)
{
    // The parent keeps a few descriptors of its own; half of the free
    // memory, at a few kilobytes a connection in the kernel, is the most
    // the waiting connections may take.
    std::size_t capacity = descriptors > 2 * room_spare_descriptors ? descriptors - room_spare_descriptors
                                                                    : descriptors / 2;
    if (capacity > max_room_capacity)
        capacity = max_room_capacity;
    if (limits.memory_max != no_limit) {
        unsigned long long by_memory = free_memory(limits) / 2 / waiting_memory_cost;
        if (by_memory < capacity)
            capacity = by_memory < 16 ? 16 : static_cast<std::size_t>(by_memory);
    }
    return capacity;
}

cgroup_limits find_cgroup_limits()
{
    char self[4096];
    if (!read_line("/proc/self", "cgroup", self))
        return {};
    return read_cgroup_limits("/sys/fs/cgroup", self);
}
