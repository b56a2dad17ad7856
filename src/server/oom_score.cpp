#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "server/server.h"

// Should the kernel run out of memory for the server's cgroup all the same,
// it kills the process with the highest score, and the parent, with every
// worker's page tables behind it, is the largest. A worker forked while
// the parent's score is at its highest inherits that score; the parent then
// lowers its own again, which even an unprivileged process may do down to
// the value it started with. /proc/self is opened before the parent stops
// being dumpable, after which its files belong to root.

namespace {

int score_fd = -1;
char start_value[16];
std::size_t start_length = 0;

void write_score(const char* text, std::size_t length)
{
    if (score_fd >= 0)
        (void)!::write(score_fd, text, length);
}

}  // namespace

void prepare_oom_score()
{
    score_fd = ::open("/proc/self/oom_score_adj", O_RDWR | O_CLOEXEC);
    if (score_fd < 0)
        return;
    ssize_t got = ::read(score_fd, start_value, sizeof start_value - 1);
    // The highest score already: nothing to raise a worker above.
    if (got <= 0 || (got >= 4 && start_value[0] == '1' && start_value[1] == '0' &&
                     start_value[2] == '0' && start_value[3] == '0')) {
        ::close(score_fd);
        score_fd = -1;
        return;
    }
    start_length = static_cast<std::size_t>(got);
}

void raise_oom_score_for_fork()
{
    write_score("1000", 4);
}

void restore_oom_score()
{
    write_score(start_value, start_length);
}

void forget_oom_score()
{
    if (score_fd >= 0)
        ::close(score_fd);
    score_fd = -1;
}
