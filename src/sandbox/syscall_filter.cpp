#include "sandbox/sandbox.h"

#ifndef QUILLBARROW_SYSCALL_FILTER

// Sanitizer runtimes make calls of their own that no short list can know.
filter_list server_filter_list()
{
    return {};
}

bool install_syscall_filter(const filter_list&)
{
    return false;
}

int install_supervised_filter(const filter_list&)
{
    return -1;
}

long refuse_held_call(int)
{
    return -1;
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
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

using enum filter_rule;

// Every operation of the accept loop and a worker, with every call that a
// current C library may make for it: the same operation is one call in one
// release and another in the next (fstat became fstatat, then statx), so a
// list of what one library was seen to call fails silently under another.
// Calls that only an attacker in control of a process would make kill it.
constexpr filter_row server_rows[] = {
    // Accepting connections, and watching those whose head is still on its
    // way; with 64-bit time on 32-bit systems where it matters.
    {SCMP_SYS(accept4), allow},
    {SCMP_SYS(accept), allow},
    {SCMP_SYS(epoll_ctl), allow},
    {SCMP_SYS(epoll_wait), allow},
    {SCMP_SYS(epoll_pwait), allow},
    // Forking a worker: the C library blocks every signal around the clone,
    // and the child sets up its robust-futex list again. clone3 passes its
    // flags in memory, where a filter cannot look; told it is missing, the
    // C library falls back to clone, whose flags are checked.
    {SCMP_SYS(rt_sigprocmask), allow},
    {SCMP_SYS(set_robust_list), allow},
    {SCMP_SYS(clone), kill_with, 0,
     CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET |
         CLONE_NEWCGROUP},
    {SCMP_SYS(clone3), missing},
    // A worker lets go of the other connections the parent holds.
    {SCMP_SYS(close_range), allow},
    // Stopping and reaping workers: a handler's return (sigreturn where an
    // action without SA_SIGINFO returns through it, as on 32-bit ARM), a
    // worker putting back the default actions, and the wait for workers.
    {SCMP_SYS(rt_sigreturn), allow},
    {SCMP_SYS(sigreturn), allow},
    {SCMP_SYS(rt_sigaction), allow},
    {SCMP_SYS(wait4), allow},
    {SCMP_SYS(waitid), allow},
    // Waiting for a socket or for a worker to end, and the short pause
    // after a failure.
    {SCMP_SYS(poll), allow},
    {SCMP_SYS(ppoll), allow},
    {SCMP_SYS(ppoll_time64), allow},
    {SCMP_SYS(nanosleep), allow},
    {SCMP_SYS(clock_nanosleep), allow},
    {SCMP_SYS(clock_nanosleep_time64), allow},
    // The time limits, where the clock is not read in user space.
    {SCMP_SYS(clock_gettime), allow},
    {SCMP_SYS(clock_gettime64), allow},
    // Receiving the head (and looking at it, in the parent), reading files
    // and the drain (recv is its own call on 32-bit ARM).
    {SCMP_SYS(read), allow},
    {SCMP_SYS(recvfrom), allow},
    {SCMP_SYS(recv), allow},
    {SCMP_SYS(pread64), allow},
    // Sending the response, and messages on standard error (send is its own
    // call on 32-bit ARM, sendfile64 takes a 64-bit offset there).
    {SCMP_SYS(write), allow},
    {SCMP_SYS(sendto), allow},
    {SCMP_SYS(send), allow},
    {SCMP_SYS(sendfile), allow},
    {SCMP_SYS(sendfile64), allow},
    {SCMP_SYS(shutdown), allow},
    {SCMP_SYS(close), allow},
    // Opening for reading only: not for writing, nor for a path descriptor
    // (which no file-access rule checks). open where the architecture still
    // has it (the library skips the rule where it does not).
    {SCMP_SYS(openat), kill_with, 2, O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_PATH},
    {SCMP_SYS(open), kill_with, 1, O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_PATH},
    // A status query: fstat and fstatat are one of these, depending on the
    // C library's age and the word size.
    {SCMP_SYS(fstat), allow},
    {SCMP_SYS(newfstatat), allow},
    {SCMP_SYS(statx), allow},
    {SCMP_SYS(fstat64), allow},
    {SCMP_SYS(fstatat64), allow},
    // Reading a directory's entries.
    {SCMP_SYS(getdents64), allow},
    // The memory of a listing page or a redirect, never memory that can be
    // run (mmap2 on 32-bit systems), and the heap that start-up left, given
    // back, and nothing else madvise does.
    {SCMP_SYS(mmap), allow_without, 2, PROT_EXEC},
    {SCMP_SYS(mmap2), allow_without, 2, PROT_EXEC},
    {SCMP_SYS(munmap), allow},
    {SCMP_SYS(mremap), allow},
    {SCMP_SYS(brk), allow},
    {SCMP_SYS(madvise), allow_if, 2, MADV_DONTNEED},
    // A worker asks one thing of its socket, whether the client has
    // acknowledged the whole response, and sets two options: a small
    // unsent queue for a file's body, and an abortive close of a stalled
    // connection. The parent asks what kind of socket a worker hands back.
    {SCMP_SYS(ioctl), allow_if, 1, SIOCOUTQ},
    {SCMP_SYS(setsockopt), allow_if, 1, SOL_SOCKET},
    {SCMP_SYS(setsockopt), allow_if, 2, SO_LINGER},
    {SCMP_SYS(setsockopt), allow_if, 1, IPPROTO_TCP, 1},
    {SCMP_SYS(setsockopt), allow_if, 2, TCP_NOTSENT_LOWAT, 1},
    {SCMP_SYS(getsockopt), allow_if, 1, SOL_SOCKET},
    // A worker hands the rest of its response back to the parent with the
    // connection and the file attached; the parent takes it. Neither can
    // reach any socket but its own and the channel.
    {SCMP_SYS(sendmsg), allow},
    {SCMP_SYS(recvmsg), allow},
    // Whether a file's next pages are in memory (a read that may not wait
    // for the disk), and asking the kernel to read them in where they are
    // not, so that the parent never waits for a disk (each architecture
    // names the second call its own way).
    {SCMP_SYS(preadv2), allow},
    {SCMP_SYS(fstatfs), allow},  // a file system that cannot tell, but whose files are in memory
    {SCMP_SYS(fstatfs64), allow},
    {SCMP_SYS(fadvise64), allow},
    {SCMP_SYS(fadvise64_64), allow},
    {SCMP_SYS(arm_fadvise64_64), allow},
    // Started as root, a worker becomes nobody, with no groups, and lets go
    // of the one capability it opened the root with: these arguments only
    // (the 32-bit calls on 32-bit ARM), and any other change of identity
    // kills.
    {SCMP_SYS(setgroups), kill_unless, 0, 0},
    {SCMP_SYS(setgroups32), kill_unless, 0, 0},
    {SCMP_SYS(setresgid), kill_unless, 0, nobody_id},
    {SCMP_SYS(setresgid), kill_unless, 1, nobody_id},
    {SCMP_SYS(setresgid), kill_unless, 2, nobody_id},
    {SCMP_SYS(setresgid32), kill_unless, 0, nobody_id},
    {SCMP_SYS(setresgid32), kill_unless, 1, nobody_id},
    {SCMP_SYS(setresgid32), kill_unless, 2, nobody_id},
    {SCMP_SYS(setresuid), kill_unless, 0, nobody_id},
    {SCMP_SYS(setresuid), kill_unless, 1, nobody_id},
    {SCMP_SYS(setresuid), kill_unless, 2, nobody_id},
    {SCMP_SYS(setresuid32), kill_unless, 0, nobody_id},
    {SCMP_SYS(setresuid32), kill_unless, 1, nobody_id},
    {SCMP_SYS(setresuid32), kill_unless, 2, nobody_id},
    {SCMP_SYS(capset), allow},  // it can only ever lower what the process holds
    {SCMP_SYS(setuid), kill},
    {SCMP_SYS(setgid), kill},
    {SCMP_SYS(setreuid), kill},
    {SCMP_SYS(setregid), kill},
    {SCMP_SYS(setfsuid), kill},
    {SCMP_SYS(setfsgid), kill},
    {SCMP_SYS(setuid32), kill},
    {SCMP_SYS(setgid32), kill},
    {SCMP_SYS(setreuid32), kill},
    {SCMP_SYS(setregid32), kill},
    {SCMP_SYS(setfsuid32), kill},
    {SCMP_SYS(setfsgid32), kill},
    // A worker gives up forking: its own process limit, of this process only.
    {SCMP_SYS(prlimit64), allow_if, 0, 0},
    {SCMP_SYS(prlimit64), allow_if, 1, RLIMIT_NPROC},
    {SCMP_SYS(setrlimit), allow_if, 0, RLIMIT_NPROC},
    // Landlock, per worker. A rule added to the prepared ruleset would hold
    // for every later worker, so adding to that one descriptor kills; a
    // worker whose root was replaced still adds to a ruleset of its own.
    // No call that could copy the descriptor to another number is allowed.
    {SCMP_SYS(landlock_create_ruleset), allow},
    {SCMP_SYS(landlock_restrict_self), allow},
    {SCMP_SYS(landlock_add_rule), guard_ruleset, 0},
    // Ending a process, and resuming a wait that a stop signal interrupted.
    {SCMP_SYS(exit), allow},
    {SCMP_SYS(exit_group), allow},
    {SCMP_SYS(restart_syscall), allow},

    // Running programs, new sockets, tracing, signals, mounts, namespaces,
    // and opening a file by handle (which bypasses every directory).
    {SCMP_SYS(execve), kill},
    {SCMP_SYS(execveat), kill},
    {SCMP_SYS(socket), kill},
    {SCMP_SYS(socketpair), kill},
    {SCMP_SYS(connect), kill},
    {SCMP_SYS(bind), kill},
    {SCMP_SYS(listen), kill},
    {SCMP_SYS(ptrace), kill},
    {SCMP_SYS(kill), kill},
    {SCMP_SYS(tkill), kill},
    {SCMP_SYS(tgkill), kill},
    {SCMP_SYS(mount), kill},
    {SCMP_SYS(umount2), kill},
    {SCMP_SYS(unshare), kill},
    {SCMP_SYS(setns), kill},
    {SCMP_SYS(pivot_root), kill},
    {SCMP_SYS(open_by_handle_at), kill},

    // Off the list, and never added even when a start-up check finds one
    // needed: each would undo part of the confinement (asynchronous I/O
    // that no filter sees, executable or shared memory (whatever else the
    // list allows maps memory without PROT_EXEC and cannot change it),
    // copied descriptors,
    // opening beyond the walk's rules, the new mount interface, other
    // processes' memory, kernel programs, keys, privilege and identity).
    {SCMP_SYS(io_uring_setup), never_add},
    {SCMP_SYS(io_uring_enter), never_add},
    {SCMP_SYS(io_uring_register), never_add},
    {SCMP_SYS(openat2), never_add},
    {SCMP_SYS(mprotect), never_add},
    {SCMP_SYS(pkey_mprotect), never_add},
    {SCMP_SYS(personality), never_add},  // READ_IMPLIES_EXEC: every readable mapping runs
    {SCMP_SYS(shmget), never_add},       // shared memory that can be attached executable
    {SCMP_SYS(shmat), never_add},
    {SCMP_SYS(ipc), never_add},  // both, where one call multiplexes them
    {SCMP_SYS(remap_file_pages), never_add},
    {SCMP_SYS(memfd_create), never_add},
    {SCMP_SYS(memfd_secret), never_add},
    {SCMP_SYS(dup), never_add},
    {SCMP_SYS(dup2), never_add},
    {SCMP_SYS(dup3), never_add},
    {SCMP_SYS(fcntl), never_add},
    {SCMP_SYS(fcntl64), never_add},
    {SCMP_SYS(pidfd_open), never_add},
    {SCMP_SYS(pidfd_getfd), never_add},
    {SCMP_SYS(pidfd_send_signal), never_add},
    {SCMP_SYS(rt_sigqueueinfo), never_add},
    {SCMP_SYS(rt_tgsigqueueinfo), never_add},
    {SCMP_SYS(open_tree), never_add},
    {SCMP_SYS(move_mount), never_add},
    {SCMP_SYS(fsopen), never_add},
    {SCMP_SYS(fsconfig), never_add},
    {SCMP_SYS(fsmount), never_add},
    {SCMP_SYS(fspick), never_add},
    {SCMP_SYS(mount_setattr), never_add},
    {SCMP_SYS(name_to_handle_at), never_add},
    {SCMP_SYS(chroot), never_add},
    {SCMP_SYS(chdir), never_add},
    {SCMP_SYS(fchdir), never_add},
    {SCMP_SYS(process_vm_readv), never_add},
    {SCMP_SYS(process_vm_writev), never_add},
    {SCMP_SYS(process_madvise), never_add},
    {SCMP_SYS(userfaultfd), never_add},
    {SCMP_SYS(bpf), never_add},
    {SCMP_SYS(perf_event_open), never_add},
    {SCMP_SYS(seccomp), never_add},
    {SCMP_SYS(prctl), never_add},
    {SCMP_SYS(add_key), never_add},
    {SCMP_SYS(request_key), never_add},
    {SCMP_SYS(keyctl), never_add},
    {SCMP_SYS(init_module), never_add},
    {SCMP_SYS(finit_module), never_add},
    {SCMP_SYS(delete_module), never_add},
    {SCMP_SYS(kexec_load), never_add},
    {SCMP_SYS(kexec_file_load), never_add},
    {SCMP_SYS(vmsplice), never_add},
    {SCMP_SYS(modify_ldt), never_add},
};

constexpr scmp_arg_cmp equals(unsigned int arg, scmp_datum_t value)
{
    return {arg, SCMP_CMP_EQ, value, 0};
}

// The rules of one row. `kill` is what a killing row does; in a check it is
// the default, which needs no rule of its own (the library refuses one).
struct loader {
    scmp_filter_ctx filter;
    std::uint32_t unlisted;
    std::uint32_t kill;

    bool add(std::uint32_t action, int call, unsigned int count = 0,
             const scmp_arg_cmp* conditions = nullptr) const
    {
        if (action == unlisted)
            return true;
        return seccomp_rule_add_array(filter, action, call, count, conditions) == 0;
    }
};

// The `allow_if` or `kill_unless` rows of `call` at and after `first`, as one
// set of conditions that must all hold.
unsigned int gather_conditions(const filter_list& list, std::size_t first, scmp_arg_cmp (&out)[6])
{
    unsigned int count = 0;
    const filter_row& row = list.rows[first];
    for (std::size_t i = first; i < list.count && count < 6; ++i)
        if (list.rows[i].call == row.call && list.rows[i].rule == row.rule &&
            list.rows[i].group == row.group)
            out[count++] = equals(list.rows[i].arg, list.rows[i].value);
    return count;
}

bool seen_before(const filter_list& list, std::size_t at)
{
    for (std::size_t i = 0; i < at; ++i)
        if (list.rows[i].call == list.rows[at].call && list.rows[i].rule == list.rows[at].rule &&
            list.rows[i].group == list.rows[at].group)
            return true;
    return false;
}

// A rule that kills when `condition` holds (always, without one).
bool kill_when(const loader& load, int call, const scmp_arg_cmp* condition = nullptr)
{
    return load.add(load.kill, call, condition != nullptr ? 1 : 0, condition);
}

bool load_row(const loader& load, const filter_list& list, std::size_t at)
{
    const filter_row& row = list.rows[at];
    scmp_arg_cmp conditions[6];
    switch (row.rule) {
    case allow: return load.add(SCMP_ACT_ALLOW, row.call);
    case allow_if:
    case kill_unless: {
        if (seen_before(list, at))
            return true;
        unsigned int count = gather_conditions(list, at, conditions);
        for (unsigned int i = 0; row.rule == kill_unless && i < count; ++i) {
            scmp_arg_cmp other = {conditions[i].arg, SCMP_CMP_NE, conditions[i].datum_a, 0};
            if (!kill_when(load, row.call, &other))
                return false;
        }
        return load.add(SCMP_ACT_ALLOW, row.call, count, conditions);
    }
    case allow_without:
    case kill_with: {
        // Each bit alone is enough to kill.
        for (unsigned long long bit = 1; row.rule == kill_with && bit != 0; bit <<= 1) {
            scmp_arg_cmp has_bit = {row.arg, SCMP_CMP_MASKED_EQ, bit, bit};
            if ((row.value & bit) != 0 && !kill_when(load, row.call, &has_bit))
                return false;
        }
        scmp_arg_cmp has_none = {row.arg, SCMP_CMP_MASKED_EQ, row.value, 0};
        return load.add(SCMP_ACT_ALLOW, row.call, 1, &has_none);
    }
    case guard_ruleset: {
        int prepared = prepared_ruleset_fd();
        if (prepared < 0)
            return load.add(SCMP_ACT_ALLOW, row.call);
        auto fd = static_cast<scmp_datum_t>(prepared);
        scmp_arg_cmp is_prepared = {row.arg, SCMP_CMP_EQ, fd, 0};
        scmp_arg_cmp is_other = {row.arg, SCMP_CMP_NE, fd, 0};
        return kill_when(load, row.call, &is_prepared) &&
               load.add(SCMP_ACT_ALLOW, row.call, 1, &is_other);
    }
    case kill: return kill_when(load, row.call);
    case missing: return load.add(SCMP_ACT_ERRNO(ENOSYS), row.call);
    case never_add: return true;
    }
    return false;
}

// Builds and loads the filter: calls off the list get `unlisted`, killing
// rows `kill`. Gives the context, loaded, or nullptr.
scmp_filter_ctx load_filter(const filter_list& list, std::uint32_t unlisted, std::uint32_t kill)
{
    // Only the native architecture is in the filter: a call made through
    // another ABI (32-bit, or x32 on x86-64) kills, since its numbers mean
    // other calls.
    scmp_filter_ctx filter = seccomp_init(unlisted);
    if (filter == nullptr)
        return nullptr;
    // A binary tree of the call numbers rather than a list: every call a
    // worker makes passes through the filter, so it should take few steps.
    bool loaded = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0 &&
                  seccomp_attr_set(filter, SCMP_FLTATR_CTL_OPTIMIZE, 2) == 0;
    loader load = {filter, unlisted, kill};
    for (std::size_t i = 0; loaded && i < list.count; ++i)
        loaded = load_row(load, list, i);
    if (!loaded || seccomp_load(filter) != 0) {
        seccomp_release(filter);
        return nullptr;
    }
    return filter;
}

}  // namespace

filter_list server_filter_list()
{
    static_assert(std::size(server_rows) + max_added_calls + 1 <= max_filter_rows);
    filter_list list;
    for (const filter_row& row : server_rows)
        list.rows[list.count++] = row;
    return list;
}

bool install_syscall_filter(const filter_list& list)
{
    scmp_filter_ctx filter = load_filter(list, SCMP_ACT_ERRNO(EPERM), SCMP_ACT_KILL_PROCESS);
    seccomp_release(filter);
    // Building the filter grew the heap; every fork would copy it, and a
    // worker that allocates would sift through its free chunks. Given back
    // now, it costs the workers nothing.
    (void)::malloc_trim(0);
    return filter != nullptr;
}

int install_supervised_filter(const filter_list& list)
{
    // Holding calls needs a kernel of 5.0 or later; 5.8 or later tells the
    // supervisor when no process is left under the filter.
    if (seccomp_api_get() < 5)
        return -1;
    scmp_filter_ctx filter = load_filter(list, SCMP_ACT_NOTIFY, SCMP_ACT_NOTIFY);
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

bool lists_call(const filter_list& list, long call)
{
    for (std::size_t i = 0; i < list.count; ++i)
        if (list.rows[i].call == call)
            return true;
    return false;
}

void drop_call(filter_list& list, int call)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.count; ++i)
        if (list.rows[i].call != call)
            list.rows[kept++] = list.rows[i];
    list.count = kept;
}

bool set_call_rule(filter_list& list, int call, filter_rule rule)
{
    drop_call(list, call);
    if (list.count == max_filter_rows)
        return false;
    list.rows[list.count++] = {call, rule, 0, 0};
    return true;
}
