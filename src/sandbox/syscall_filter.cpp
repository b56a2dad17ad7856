#include "sandbox/sandbox.h"

#ifndef QUILLBARROW_SYSCALL_FILTER

// Sanitizer runtimes make calls of their own that no short list can know.
bool install_syscall_filter(unlisted_call, const filter_changes&)
{
    return false;
}

int install_supervised_filter(const filter_changes&)
{
    return -1;
}

long refuse_held_call(int)
{
    return -1;
}

syscall_listing list_entry_of(long)
{
    return syscall_listing::unlisted;
}

bool syscall_filter_built()
{
    return false;
}

bool name_system_call(long, char*, std::size_t)
{
    return false;
}

#else

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/sockios.h>
#include <malloc.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {

// Every operation of the accept loop and a worker, with every call that a
// current C library may make for it: the same operation is one call in one
// release and another in the next (fstat became fstatat, then statx), so a
// list of what one library was seen to call fails silently under another.
constexpr int allowed_calls[] = {
    // Accepting a connection.
    SCMP_SYS(accept4), SCMP_SYS(accept),
    // Forking a worker: the C library blocks every signal around the clone
    // (checked below), and the child sets up its robust-futex list again.
    SCMP_SYS(rt_sigprocmask), SCMP_SYS(set_robust_list),
    // Stopping and counting workers: a handler's return (sigreturn where an
    // action without SA_SIGINFO returns through it, as on 32-bit ARM), a
    // worker putting back the default actions, and the wait for workers.
    SCMP_SYS(rt_sigreturn), SCMP_SYS(sigreturn), SCMP_SYS(rt_sigaction), SCMP_SYS(wait4),
    SCMP_SYS(waitid),
    // Waiting for a socket or for a worker to end, and the short pause
    // after a failure; with 64-bit time on 32-bit systems.
    SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(ppoll_time64), SCMP_SYS(nanosleep),
    SCMP_SYS(clock_nanosleep), SCMP_SYS(clock_nanosleep_time64),
    // The time limits, where the clock is not read in user space.
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_gettime64),
    // Receiving the head, reading files and the drain (recv is its own call
    // on 32-bit ARM).
    SCMP_SYS(read), SCMP_SYS(recvfrom), SCMP_SYS(recv), SCMP_SYS(pread64),
    // Sending the response, and messages on standard error (send is its own
    // call on 32-bit ARM, sendfile64 takes a 64-bit offset there).
    SCMP_SYS(write), SCMP_SYS(sendto), SCMP_SYS(send), SCMP_SYS(sendfile),
    SCMP_SYS(sendfile64), SCMP_SYS(shutdown), SCMP_SYS(close),
    // A status query: fstat and fstatat are one of these, depending on the
    // C library's age and the word size.
    SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(statx), SCMP_SYS(fstat64),
    SCMP_SYS(fstatat64),
    // Reading a directory's entries.
    SCMP_SYS(getdents64),
    // The memory of a listing page or a redirect (mmap is checked below),
    // and the heap that start-up left, given back.
    SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(brk),
    // Landlock, per worker (adding a rule is checked below).
    SCMP_SYS(landlock_create_ruleset), SCMP_SYS(landlock_restrict_self),
    // Ending a process, and resuming a wait that a stop signal interrupted.
    SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(restart_syscall),
};

// Calls that no path of the server makes and that only an attacker in
// control of a process would: trying one ends that process at once.
constexpr int killing_calls[] = {
    SCMP_SYS(execve),  SCMP_SYS(execveat), SCMP_SYS(socket),  SCMP_SYS(socketpair),
    SCMP_SYS(connect), SCMP_SYS(bind),     SCMP_SYS(listen),  SCMP_SYS(ptrace),
    SCMP_SYS(kill),    SCMP_SYS(tkill),    SCMP_SYS(tgkill),  SCMP_SYS(mount),
    SCMP_SYS(umount2), SCMP_SYS(unshare),  SCMP_SYS(setns),   SCMP_SYS(pivot_root),
};

// Opening for anything but reading, or for a path descriptor (which no
// file-access rule checks), and cloning into new namespaces: each bit alone
// is enough to kill.
constexpr unsigned long non_reading_open_flags[] = {O_WRONLY, O_RDWR,   O_CREAT,
                                                    O_TRUNC,  O_APPEND, O_PATH};
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
    // Memory that can be written, never memory that can be run (mmap2 on
    // 32-bit systems).
    {SCMP_SYS(mmap), 1, {argument_lacks(2, PROT_EXEC)}},
    {SCMP_SYS(mmap2), 1, {argument_lacks(2, PROT_EXEC)}},
    // Giving back the free pages of the heap, and nothing else madvise does.
    {SCMP_SYS(madvise), 1, {argument_is(2, MADV_DONTNEED)}},
    // A worker asks one thing of its socket, whether the client has
    // acknowledged the whole response, and sets one option: an abortive
    // close of a stalled connection.
    {SCMP_SYS(ioctl), 1, {argument_is(1, SIOCOUTQ)}},
    {SCMP_SYS(setsockopt), 2, {argument_is(1, SOL_SOCKET), argument_is(2, SO_LINGER)}},
    // A worker gives up forking: its own process limit, of this process only.
    {SCMP_SYS(prlimit64), 2, {argument_is(0, 0), argument_is(1, RLIMIT_NPROC)}},
    {SCMP_SYS(setrlimit), 1, {argument_is(0, RLIMIT_NPROC)}},
};

bool is_in(int call, std::span<const int> calls)
{
    for (int listed : calls)
        if (listed == call)
            return true;
    return false;
}

// What the filter does with a call: `kill` is SCMP_ACT_KILL_PROCESS, or,
// in a trial, the trap that every call off the list raises anyway (the
// kernel then needs no rule of its own for it).
struct rule_actions {
    std::uint32_t kill;
    bool kill_is_default;
    const filter_changes& changes;
};

bool add_kill(scmp_filter_ctx filter, int call, const rule_actions& actions,
              unsigned int conditions = 0, const scmp_arg_cmp* condition = nullptr)
{
    return actions.kill_is_default ||
           seccomp_rule_add_array(filter, actions.kill, call, conditions, condition) == 0;
}

// Whether the list's own rule for `call` applies: an added call is
// allowed whatever its arguments, a call left out or made to kill is not.
bool allowed_here(int call, const rule_actions& actions)
{
    const filter_changes& changes = actions.changes;
    return !is_in(call, changes.left_out) && !is_in(call, changes.killed) &&
           !is_in(call, changes.added);
}

// Allows `call` while argument `arg` has none of `flags`; with any of
// them the call kills.
template <std::size_t count>
bool allow_without_flags(scmp_filter_ctx filter, int call, unsigned int arg,
                         const unsigned long (&flags)[count], const rule_actions& actions)
{
    if (is_in(call, actions.changes.added))
        return true;
    unsigned long any = 0;
    for (unsigned long flag : flags) {
        any |= flag;
        scmp_arg_cmp has_flag = {arg, SCMP_CMP_MASKED_EQ, flag, flag};
        if (!add_kill(filter, call, actions, 1, &has_flag))
            return false;
    }
    if (!allowed_here(call, actions))
        return true;
    scmp_arg_cmp has_none = argument_lacks(arg, any);
    return seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, 1, &has_none) == 0;
}

// A rule added to the prepared Landlock ruleset would hold for every later
// worker, so adding to that one descriptor kills; a worker whose root was
// replaced still adds to a ruleset of its own. No call that could copy the
// descriptor to another number (dup, fcntl) is on the list.
bool guard_prepared_ruleset(scmp_filter_ctx filter, const rule_actions& actions)
{
    int call = SCMP_SYS(landlock_add_rule);
    int prepared = prepared_ruleset_fd();
    if (is_in(call, actions.changes.added))
        return true;
    if (prepared < 0)
        return !allowed_here(call, actions) || seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    auto fd = static_cast<scmp_datum_t>(prepared);
    scmp_arg_cmp is_prepared = {0, SCMP_CMP_EQ, fd, 0};
    scmp_arg_cmp is_other = {0, SCMP_CMP_NE, fd, 0};
    return add_kill(filter, call, actions, 1, &is_prepared) &&
           (!allowed_here(call, actions) ||
            seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, call, 1, &is_other) == 0);
}

bool add_rules(scmp_filter_ctx filter, const rule_actions& actions)
{
    const filter_changes& changes = actions.changes;
    for (int call : allowed_calls)
        if (allowed_here(call, actions) && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    for (int call : changes.added)
        if (seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    for (int call : killing_calls)
        if (!add_kill(filter, call, actions))
            return false;
    for (int call : changes.killed)
        if (!add_kill(filter, call, actions))
            return false;
    for (const checked_call& checked : checked_calls)
        if (allowed_here(checked.call, actions) &&
            seccomp_rule_add_array(filter, SCMP_ACT_ALLOW, checked.call, checked.conditions,
                                   checked.condition) != 0)
            return false;
    // Opening: openat, and open where the architecture still has it (the
    // library skips the rule where it does not). clone3 passes its flags in
    // memory, where a filter cannot look; told it is missing, the C library
    // falls back to clone, whose flags are checked here.
    return allow_without_flags(filter, SCMP_SYS(openat), 2, non_reading_open_flags, actions) &&
           allow_without_flags(filter, SCMP_SYS(open), 1, non_reading_open_flags, actions) &&
           allow_without_flags(filter, SCMP_SYS(clone), 0, namespace_clone_flags, actions) &&
           guard_prepared_ruleset(filter, actions) &&
           seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
}

}  // namespace

namespace {

// Builds and loads the filter: calls off the list get `unlisted`, calls
// that kill get `kill` (in a trial the same, so that it names them too).
// Gives the context, loaded, or nullptr.
scmp_filter_ctx load_filter(std::uint32_t unlisted, std::uint32_t kill, const filter_changes& changes)
{
    // Only the native architecture is in the filter: a call made through
    // another ABI (32-bit, or x32 on x86-64) kills, since its numbers mean
    // other calls.
    scmp_filter_ctx filter = seccomp_init(unlisted);
    if (filter == nullptr)
        return nullptr;
    rule_actions actions = {kill, kill == unlisted, changes};
    // A binary tree of the call numbers rather than a list: every call a
    // worker makes passes through the filter, so it should take few steps.
    bool loaded = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0 &&
                  seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2) == 0 &&
                  add_rules(filter, actions) && seccomp_load(filter) == 0;
    if (!loaded) {
        seccomp_release(filter);
        return nullptr;
    }
    return filter;
}

}  // namespace

bool install_syscall_filter(unlisted_call unlisted, const filter_changes& changes)
{
    bool trial = unlisted == unlisted_call::trap;
    scmp_filter_ctx filter = load_filter(trial ? SCMP_ACT_TRAP : SCMP_ACT_ERRNO(EPERM),
                                         trial ? SCMP_ACT_TRAP : SCMP_ACT_KILL_PROCESS, changes);
    seccomp_release(filter);
    // Building the filter grew the heap; every fork would copy it, and a
    // worker that allocates would sift through its free chunks. Given back
    // now, it costs the workers nothing.
    (void)::malloc_trim(0);
    return filter != nullptr;
}

int install_supervised_filter(const filter_changes& changes)
{
    // Holding calls needs a kernel of 5.0 or later; 5.8 or later tells the
    // supervisor when no process is left under the filter.
    if (seccomp_api_get() < 5)
        return -1;
    // The trial hands the supervisor its descriptor with sendmsg, which the
    // server itself never makes.
    constexpr int hand_over[] = {SCMP_SYS(sendmsg)};
    int added[max_supervised_additions + 1];
    std::size_t count = 0;
    for (int call : changes.added)
        if (count < max_supervised_additions)
            added[count++] = call;
    added[count++] = hand_over[0];
    filter_changes with_hand_over = changes;
    with_hand_over.added = std::span<const int>(added, count);
    scmp_filter_ctx filter = load_filter(SCMP_ACT_NOTIFY, SCMP_ACT_NOTIFY, with_hand_over);
    if (filter == nullptr)
        return -1;
    int listener = seccomp_notify_fd(filter);
    seccomp_release(filter);
    return listener;
}

long refuse_held_call(int listener)
{
    struct seccomp_notif* held = nullptr;
    struct seccomp_notif_resp* answer = nullptr;
    if (seccomp_notify_alloc(&held, &answer) != 0)
        return -1;
    long number = -1;
    if (seccomp_notify_receive(listener, held) == 0) {
        number = held->data.nr;
        answer->id = held->id;
        answer->error = -EPERM;
        answer->val = 0;
        answer->flags = 0;
        (void)seccomp_notify_respond(listener, answer);
    }
    seccomp_notify_free(held, answer);
    return number;
}

syscall_listing list_entry_of(long number)
{
    auto call = static_cast<int>(number);
    if (is_in(call, killing_calls))
        return syscall_listing::killing;
    if (is_in(call, allowed_calls))
        return syscall_listing::allowed;
    for (const checked_call& checked : checked_calls)
        if (checked.call == call)
            return syscall_listing::checked;
    bool checked_here = call == SCMP_SYS(openat) || call == SCMP_SYS(open) ||
                        call == SCMP_SYS(clone) || call == SCMP_SYS(clone3) ||
                        call == SCMP_SYS(landlock_add_rule);
    return checked_here ? syscall_listing::checked : syscall_listing::unlisted;
}

bool syscall_filter_built()
{
    return true;
}

bool name_system_call(long number, char* name, std::size_t size)
{
    char* known = seccomp_syscall_resolve_num_arch(SCMP_ARCH_NATIVE, static_cast<int>(number));
    if (known != nullptr)
        (void)std::snprintf(name, size, "%s", known);
    else
        (void)std::snprintf(name, size, "system call %ld", number);
    std::free(known);
    return known != nullptr;
}

#endif
