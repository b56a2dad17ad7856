#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/time_limits.h"

long long monotonic_ms()
{
    // The system call rather than the vDSO: a fresh worker reads the clock
    // only a few times, and the vDSO would first have to be faulted into
    // its address space, which costs more than the calls.
    struct timespec now;
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
