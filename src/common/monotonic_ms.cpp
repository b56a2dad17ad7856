#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/time_limits.h"

long long monotonic_ms()
{
    // The system call rather than the vDSO: a fresh worker reads the clock
    // only a few times, and the vDSO would first have to be faulted into
    // its address space, which costs more than the calls.
#if defined(SYS_clock_gettime64)
    // A 32-bit system: the call with 64-bit time, into the kernel's own
    // record, whatever size time_t has in this build (Debian 13's 32-bit
    // ARM has 64-bit time_t, which the older call would write half of);
    // the older call where the kernel predates it (before 5.1).
    struct {
        long long tv_sec;
        long long tv_nsec;
    } now64;
    if (::syscall(SYS_clock_gettime64, CLOCK_MONOTONIC, &now64) == 0)
        return now64.tv_sec * 1000 + now64.tv_nsec / 1000000;
    struct {
        long tv_sec;
        long tv_nsec;
    } now32 = {0, 0};
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now32);
    return static_cast<long long>(now32.tv_sec) * 1000 + now32.tv_nsec / 1000000;
#else
    struct timespec now;
    ::syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#endif
}
