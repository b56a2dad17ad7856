#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "common/text_scan.h"
#include "server/server.h"

// The workers counted are not all the kernel has charged: an ended
// worker's kernel stack and page tables are freed a moment after it is
// reaped, and at thousands of short requests a second that lag holds tens
// of megabytes. Forking into it, the kernel would run out of memory for
// the cgroup. So near the limit, a fork first looks at what is charged.

namespace {

// A tenth of a second: charges that grow without a fork (socket buffers,
// held connections) are looked at this often while workers are forked.
constexpr long long look_every_ms = 100;

unsigned long long parse_number(std::string_view text)
{
    unsigned long long value = 0;
    for (std::size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<unsigned long long>(text[i] - '0');
    return value;
}

// The value of `key` in memory.stat's "key value" lines, or 0.
unsigned long long stat_value(std::string_view stat, std::string_view key)
{
    for (std::string_view rest = stat; !rest.empty();) {
        std::string_view line = next_field(rest, '\n');
        if (next_field(line, ' ') == key)
            return parse_number(line);
    }
    return 0;
}

// The whole small file open on `fd`, read afresh from its start.
std::string_view read_again(int fd, char (&buffer)[4096])
{
    ssize_t got = ::pread(fd, buffer, sizeof buffer - 1, 0);
    return std::string_view(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
}

int open_in(const char* dir, const char* name)
{
    char path[sizeof(cgroup_limits::memory_dir) + 32];
    int length = std::snprintf(path, sizeof path, "%s/%s", dir, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
        return -1;
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

}  // namespace

void open_memory_gate(server_config& config, const cgroup_limits& limits)
{
    if (limits.memory_max == 0 || limits.memory_dir[0] == '\0')
        return;
    config.memory_v2 = limits.memory_v2;
    config.memory_usage_fd =
        open_in(limits.memory_dir, config.memory_v2 ? "memory.current" : "memory.usage_in_bytes");
    config.memory_stat_fd = open_in(limits.memory_dir, "memory.stat");
    if (config.memory_usage_fd >= 0 && config.memory_stat_fd >= 0)
        config.memory_limit = limits.memory_max;
}

bool worker_fits(unsigned long long usage, unsigned long long limit)
{
    return usage + worker_memory_cost + memory_reserve <= limit;
}

unsigned long long charged_usage(std::string_view usage, std::string_view stat, bool v2)
{
    // Page cache the kernel can drop at once is not what runs it out;
    // shared memory (a root on tmpfs) it cannot.
    unsigned long long file = v2 ? stat_value(stat, "file") : stat_value(stat, "total_cache");
    unsigned long long shared = v2 ? stat_value(stat, "shmem") : stat_value(stat, "total_shmem");
    unsigned long long droppable = file > shared ? file - shared : 0;
    unsigned long long charged = parse_number(usage);
    return charged > droppable ? charged - droppable : 0;
}

bool memory_allows_fork(memory_gate& gate, long long now_ms)
{
    if (gate.limit == 0)
        return true;
    unsigned long long estimate = gate.usage + gate.forks_since * worker_memory_cost;
    if (gate.looked_ms >= 0 && now_ms - gate.looked_ms < look_every_ms &&
        worker_fits(estimate, gate.limit))
        return true;
    char usage[4096];
    char stat[4096];
    gate.usage =
        charged_usage(read_again(gate.usage_fd, usage), read_again(gate.stat_fd, stat), gate.v2);
    gate.looked_ms = now_ms;
    gate.forks_since = 0;
    return worker_fits(gate.usage, gate.limit);
}

void note_fork(memory_gate& gate)
{
    ++gate.forks_since;
}
