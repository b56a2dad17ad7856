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

// Room for a cgroup directory: the mount and a path of /proc/self/cgroup.
using cgroup_path = char[root_buffer_size + 64];

// The whole of the small file `dir`/`name` (a count, or memory.stat), into
// `out`; false when it is absent or its name would not fit.
bool read_small_file(std::string_view dir, const char* name, char (&out)[4096])
{
    char path[sizeof(cgroup_path) + 64];
    int length =
        std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(dir.size()), dir.data(), name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
        return false;
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
unsigned long long parse_count(std::string_view text)
{
    unsigned long long value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<unsigned long long>(text[i] - '0');
    return i > 0 && value < v1_unlimited ? value : no_limit;
}

unsigned long long read_count(std::string_view dir, const char* name)
{
    char text[4096];
    return read_small_file(dir, name, text) ? parse_count(text) : no_limit;
}

// The value of `key` in a file of "key value" lines (memory.stat).
unsigned long long read_keyed(std::string_view dir, const char* name, std::string_view key)
{
    char text[4096];
    if (!read_small_file(dir, name, text))
        return no_limit;
    for (std::string_view rest = text; !rest.empty();) {
        std::string_view line = next_field(rest, '\n');
        if (next_field(line, ' ') == key)
            return parse_count(line);
    }
    return no_limit;
}

unsigned long long smaller_limit(unsigned long long a, unsigned long long b)
{
    return a == no_limit ? b : b == no_limit ? a : (a < b ? a : b);
}

unsigned long long saturating_minus(unsigned long long value, unsigned long long minus)
{
    return value > minus ? value - minus : 0;
}

// The directory of the cgroup that `path` names under `mount`, written
// into `out`. A container without a cgroup namespace sees its host's path,
// but has its own cgroup mounted at the top; it is taken there.
std::string_view cgroup_dir(std::string_view mount, std::string_view path, cgroup_path& out)
{
    int length = std::snprintf(out, sizeof out, "%.*s%.*s", static_cast<int>(mount.size()),
                               mount.data(), static_cast<int>(path.size()), path.data());
    struct stat status;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof out && ::stat(out, &status) == 0 &&
        S_ISDIR(status.st_mode))
        return std::string_view(out, static_cast<std::size_t>(length));
    return mount;
}

// The smallest `name` limit of `dir` and the cgroups above it, up to
// `mount`: a parent's limit binds its children too.
unsigned long long limit_up_to(std::string_view mount, std::string_view dir, const char* name)
{
    unsigned long long limit = read_count(dir, name);
    while (dir.size() > mount.size()) {
        std::size_t slash = find_last_byte(dir, '/');
        dir = dir.substr(0, slash == not_found || slash < mount.size() ? mount.size() : slash);
        limit = smaller_limit(limit, read_count(dir, name));
    }
    return limit;
}

void note_memory_dir(std::string_view dir, bool v2, cgroup_limits& limits)
{
    std::size_t length = dir.size() < sizeof limits.memory_dir - 1 ? dir.size() : 0;
    for (std::size_t i = 0; i < length; ++i)
        limits.memory_dir[i] = dir[i];
    limits.memory_dir[length] = '\0';
    limits.memory_v2 = v2;
}

void read_v2(std::string_view root, std::string_view path, cgroup_limits& limits)
{
    cgroup_path buffer;
    std::string_view dir = cgroup_dir(root, path, buffer);
    note_memory_dir(dir, true, limits);
    // Inactive file pages are the first the kernel takes back, so they
    // do not count as used.
    limits.memory_used = saturating_minus(read_count(dir, "memory.current"),
                                          read_keyed(dir, "memory.stat", "inactive_file"));
    limits.pids_used = read_count(dir, "pids.current");
    limits.memory_max = limit_up_to(root, dir, "memory.max");
    limits.pids_max = limit_up_to(root, dir, "pids.max");
}

void read_v1_memory(std::string_view mount, std::string_view path, cgroup_limits& limits)
{
    cgroup_path buffer;
    std::string_view dir = cgroup_dir(mount, path, buffer);
    note_memory_dir(dir, false, limits);
    limits.memory_used = saturating_minus(read_count(dir, "memory.usage_in_bytes"),
                                          read_keyed(dir, "memory.stat", "total_inactive_file"));
    // The hierarchical limit is the smallest of this cgroup's and its
    // parents'; an old kernel may have only its own.
    limits.memory_max = smaller_limit(read_count(dir, "memory.limit_in_bytes"),
                                      read_keyed(dir, "memory.stat", "hierarchical_memory_limit"));
}

void read_v1_pids(std::string_view mount, std::string_view path, cgroup_limits& limits)
{
    cgroup_path buffer;
    std::string_view dir = cgroup_dir(mount, path, buffer);
    limits.pids_used = read_count(dir, "pids.current");
    limits.pids_max = limit_up_to(mount, dir, "pids.max");
}

bool names_controller(std::string_view controllers, std::string_view name)
{
    for (std::string_view rest = controllers; !rest.empty();)
        if (next_field(rest, ',') == name)
            return true;
    return false;
}

unsigned long long free_memory(const cgroup_limits& limits)
{
    return saturating_minus(limits.memory_max, limits.memory_used + memory_reserve);
}

}  // namespace

cgroup_limits read_cgroup_limits(const char* root, std::string_view self_cgroup)
{
    cgroup_limits limits;
    char text[4096];
    bool unified = read_small_file(root, "cgroup.controllers", text);
    cgroup_path mount;
    // Each line is "hierarchy:controllers:path"; cgroup v2's is "0::path".
    for (std::string_view rest = self_cgroup; !rest.empty();) {
        std::string_view line = next_field(rest, '\n');
        if (find_byte(line, ':') == not_found)
            continue;
        (void)next_field(line, ':');
        std::string_view controllers = next_field(line, ':');
        std::string_view path = line == "/" ? std::string_view() : line;
        if (controllers.empty() && unified) {
            read_v2(root, path, limits);
            continue;
        }
        bool memory = names_controller(controllers, "memory");
        if (!memory && !names_controller(controllers, "pids"))
            continue;
        int length = std::snprintf(mount, sizeof mount, "%s/%s", root, memory ? "memory" : "pids");
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof mount)
            continue;
        std::string_view v1_mount(mount, static_cast<std::size_t>(length));
        if (memory)
            read_v1_memory(v1_mount, path, limits);
        else
            read_v1_pids(v1_mount, path, limits);
    }
    return limits;
}

long derive_worker_bound(const cgroup_limits& limits, bool* by_processes)
{
    long bound = 0;
    if (limits.memory_max != no_limit) {
        unsigned long long workers = free_memory(limits) / worker_memory_cost;
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

std::size_t derive_room_capacity(std::size_t descriptors)
{
    // The parent keeps a few descriptors of its own, and room for the ones
    // a worker hands back with its connection.
    std::size_t capacity = descriptors > 2 * room_spare_descriptors
                               ? descriptors - room_spare_descriptors
                               : descriptors / 2;
    return capacity > max_room_capacity ? max_room_capacity : capacity;
}

unsigned long long derive_memory_budget(const cgroup_limits& limits)
{
    if (limits.memory_max == no_limit)
        return 0;
    // Never nothing: one worker and a few connections at the least.
    unsigned long long budget = free_memory(limits);
    unsigned long long least = worker_memory_cost + 16 * waiting_memory_cost;
    return budget < least ? least : budget;
}

cgroup_limits find_cgroup_limits()
{
    char self[4096];
    if (!read_small_file("/proc/self", "cgroup", self))
        return {};
    return read_cgroup_limits("/sys/fs/cgroup", self);
}
