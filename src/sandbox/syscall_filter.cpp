#include "sandbox/sandbox.h"

#ifndef QUILLBARROW_SYSCALL_FILTER

// Sanitizer runtimes make calls of their own that no short list can know.
bool install_syscall_filter()
{
    return false;
}

#else

#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <malloc.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>

namespace {

// What the accept loop and a worker do, call by call. Anything missing here
// fails with EPERM: one request degrades, the server goes on.
constexpr int allowed_calls[] = {
    // the accept loop: accept, fork (clone, checked below), close, the
    // short pause, messages on standard error
    SCMP_SYS(accept4), SCMP_SYS(close), SCMP_SYS(clock_nanosleep), SCMP_SYS(write),
    // a fresh worker, as the C library sets it up after the fork
    SCMP_SYS(set_robust_list),
    // the connection: the head, the time limits, the response, the drain
    SCMP_SYS(recvfrom), SCMP_SYS(read), SCMP_SYS(poll), SCMP_SYS(clock_gettime),
    SCMP_SYS(sendto), SCMP_SYS(sendfile), SCMP_SYS(shutdown),
    // the walk and the objects beneath the root (openat is checked below)
    SCMP_SYS(newfstatat), SCMP_SYS(pread64), SCMP_SYS(getdents64),
    // the memory of a listing page or a redirect, mapped for it (mmap is
    // checked below), and the heap that start-up left, given back
    SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk),
    // Landlock, per worker
    SCMP_SYS(landlock_create_ruleset), SCMP_SYS(landlock_add_rule),
    SCMP_SYS(landlock_restrict_self),
    // ending, and resuming a wait that a stop signal interrupted
    SCMP_SYS(exit_group), SCMP_SYS(restart_syscall),
};

// Calls that no path of the server makes and that only an attacker in
// control of a process would: trying one ends that process at once.
constexpr int killing_calls[] = {
    SCMP_SYS(execve),  SCMP_SYS(execveat), SCMP_SYS(socket),  SCMP_SYS(socketpair),
    SCMP_SYS(connect), SCMP_SYS(bind),     SCMP_SYS(listen),  SCMP_SYS(ptrace),
    SCMP_SYS(kill),    SCMP_SYS(tkill),    SCMP_SYS(tgkill),  SCMP_SYS(mount),
    SCMP_SYS(umount2), SCMP_SYS(unshare),  SCMP_SYS(setns),   SCMP_SYS(pivot_root),
};

// Opening for anything but reading, and cloning into new namespaces: each
// bit alone is enough to kill.
constexpr unsigned long writing_open_flags[] = {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND};
constexpr unsigned long namespace_clone_flags[] = {
    CLONE_NEWNS,  CLONE_NEWUTS, CLONE_NEWIPC,    CLONE_NEWUSER,
    CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWCGROUP,
};

constexpr scmp_arg_cmp argument_is(unsigned int arg, scmp_datum_t value)
{
    return {arg, SCMP_CMP_EQ, value, 0};
}

constexpr scmp_arg_cmp argument_lacks(unsigned int arg, scmp_datum_t bits)
{
    return {arg, SCMP_CMP_MASKED_EQ, bits, 0};
}

// Calls allowed only with the arguments the server gives them.
struct checked_call {
    int call;
    unsigned int conditions;
    scmp_arg_cmp condition[2];
};

constexpr checked_call checked_calls[] = {
    // Memory that can be written, never memory that can be run.
    {SCMP_SYS(mmap), 1, {argument_lacks(2, PROT_EXEC)}},
    // Giving back the free pages of the heap, and nothing else madvise does.
    {SCMP_SYS(madvise), 1, {argument_is(2, MADV_DONTNEED)}},
    // A worker asks one thing of its socket, whether the client has
    // acknowledged the whole response, and sets one option: an abortive
    // close of a stalled connection.
    {SCMP_SYS(ioctl), 1, {argument_is(1, SIOCOUTQ)}},
    {SCMP_SYS(setsockopt), 2, {argument_is(1, SOL_SOCKET), argument_is(2, SO_LINGER)}},
    {SCMP_SYS(prctl), 1, {argument_is(0, PR_SET_NO_NEW_PRIVS)}},
};

// Allows `call` while argument `arg` has none of `flags`; with any of
// them the call kills.
template <std::size_t count>
bool allow_without_flags(scmp_filter_ctx filter, int call, unsigned int arg,
                         const unsigned long (&flags)[count])
{
    unsigned long any = 0;
    for (unsigned long flag : flags) {
        any |= flag;
        scmp_arg_cmp has_flag = {arg, SCMP_CMP_MASKED_EQ, flag, flag};
        if (seccomp_rule_add_array(filter, SCMP_ACT_KILL_PROCESS, call, 1, &has_flag) != 0)
            return false;
    }
    scmp_arg_cmp has_none = argument_lacks(arg, any);
    return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, 1, &has_none) == 0;
}

bool add_rules(scmp_filter_ctx filter)
{
    for (int call : allowed_calls)
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    for (int call : killing_calls)
        if (seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, call, 0) != 0)
            return false;
    for (const checked_call& checked : checked_calls)
        if (seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, checked.call, checked.conditions,
                                   checked.condition) != 0)
            return false;
    // clone3 passes its flags in memory, where a filter cannot look; without
    // it the C library falls back to clone, whose flags are checked here.
    return allow_without_flags(filter, SCMP_SYS(openat), 2, writing_open_flags) &&
           allow_without_flags(filter, SCMP_SYS(clone), 0, namespace_clone_flags) &&
           seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
}

}  // namespace

bool install_syscall_filter()
{
    // Only the native architecture is in the filter: a call made through
    // another ABI (32-bit, or x32 on x86-64) kills, since its numbers mean
    // other calls.
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (filter == nullptr)
        return false;
    // A binary tree of the call numbers rather than a list: every call a
    // worker makes passes through the filter, so it should take few steps.
    bool installed = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0 &&
                     seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2) == 0 &&
                     add_rules(filter) && seccomp_load(filter) == 0;
    seccomp_release(filter);
    // Building the filter grew the heap; every fork would copy it, and a
    // worker that allocates would sift through its free chunks. Given back
    // now, it costs the workers nothing.
    (void)::malloc_trim(0);
    return installed;
}

#endif
