// What a worker's confinement costs it, as the worker now pays it before
// reading its request: forks N children that each time, on the monotonic
// clock, opening the root and confine_worker (Landlock with the prepared
// ruleset, closing that ruleset, the process limit); the process limit
// alone; and nothing, for the cost of timing in a fresh child (its first
// page faults). Prints the median and the 90th percentile in microseconds.
// Build (static, as the server is): g++ -O2 -std=c++20 -static -Isrc bench/confine_cost.cpp
//     build/release/libquillbarrow_core.a -lseccomp -o build/confine_cost
// Usage: confine_cost <root> [children]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "request/request.h"
#include "sandbox/sandbox.h"

namespace {

long now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000L + t.tv_nsec;
}

// Each child reports its time in ns through the pipe.
enum class step { nothing, process_limit, confinement };

std::vector<long> time_children(const char* root, int children, step what)
{
    std::vector<long> times;
    int report[2];
    if (pipe(report) != 0)
        return times;
    for (int i = 0; i < children; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            long start = now_ns();
            if (what == step::confinement) {
                unique_fd root_fd = open_root(root);
                confine_worker(root_fd.get());
            } else if (what == step::process_limit) {
                struct rlimit none = {0, 0};
                (void)setrlimit(RLIMIT_NPROC, &none);
            }
            long spent = now_ns() - start;
            _exit(write(report[1], &spent, sizeof spent) == sizeof spent ? 0 : 1);
        }
        long spent = 0;
        if (pid > 0 && read(report[0], &spent, sizeof spent) == sizeof spent)
            times.push_back(spent);
        waitpid(pid, nullptr, 0);
    }
    close(report[0]);
    close(report[1]);
    std::sort(times.begin(), times.end());
    return times;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <root> [children]\n", argv[0]);
        return 1;
    }
    int children = argc > 2 ? std::atoi(argv[2]) : 2000;
    prepare_confinement(argv[1]);
    const char* names[] = {"nothing", "process limit alone", "open root + confine_worker"};
    for (step what : {step::nothing, step::process_limit, step::confinement}) {
        std::vector<long> t = time_children(argv[1], children, what);
        if (t.empty())
            return 1;
        std::printf("%s: median %.1f us, 90th percentile %.1f us (%zu children)\n",
                    names[static_cast<int>(what)],
                    t[t.size() / 2] / 1000.0, t[t.size() * 9 / 10] / 1000.0, t.size());
    }
    return 0;
}
