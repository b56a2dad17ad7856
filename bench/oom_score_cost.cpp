// What marking each worker for the out-of-memory killer costs the parent:
// times, on the monotonic clock, N rounds of what the accept loop does
// around a fork with raise_oom_score_for_fork and restore_oom_score (two
// writes to /proc/self/oom_score_adj), and N rounds without them, rounds
// of the two alternating. Prints the median and the 90th percentile of
// each, in microseconds, fork to parent's return, and the writes alone.
// Build (static, as the server is): g++ -O2 -std=c++20 -static -Isrc bench/oom_score_cost.cpp
//     build/release/libquillbarrow_core.a -lseccomp -o build/oom_score_cost
// Usage: oom_score_cost [rounds]
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "server/server.h"

namespace {

long now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000L + now.tv_nsec;
}

void report(const char* what, std::vector<long>& ns)
{
    std::sort(ns.begin(), ns.end());
    std::printf("%-36s median %6.1f us, 90th percentile %6.1f us\n", what, ns[ns.size() / 2] / 1000.0,
                ns[ns.size() * 9 / 10] / 1000.0);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;
    (void)std::signal(SIGCHLD, SIG_IGN);
    prepare_oom_score();
    std::vector<long> marked, plain, writes;
    for (int i = 0; i < rounds; ++i) {
        long start = now_ns();
        raise_oom_score_for_fork();
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        restore_oom_score();
        marked.push_back(now_ns() - start);

        start = now_ns();
        child = fork();
        if (child == 0)
            _exit(0);
        plain.push_back(now_ns() - start);

        start = now_ns();
        raise_oom_score_for_fork();
        restore_oom_score();
        writes.push_back(now_ns() - start);
    }
    report("fork with the score raised and put back", marked);
    report("fork alone", plain);
    report("the two writes alone", writes);
    return 0;
}
