#pragma once

#include <cstddef>
#include <span>

// The kernel's confinement of the process tree. The parent prepares it once
// at start-up and every worker inherits it: a system-call allowlist for
// every process, and Landlock, which limits each worker's file access to
// reading beneath the root it opened. Where the kernel lacks a feature the
// server runs without it, and says so once at start-up.

// In the parent, before the first worker: sets no-new-privileges (which
// both confinements need), asks which Landlock version the kernel has, and
// builds the Landlock ruleset for `root` as it is now, so that a worker
// serving that same directory only has to apply it, and tries it in a
// process of its own: a kernel may refuse a further domain (E2BIG under 16
// nested ones). Prints one line on standard error when Landlock cannot be
// enforced.
void prepare_confinement(const char* root);

// Restricts this worker, before it reads a byte of its connection: through
// Landlock, to reading beneath `root_fd`, with the prepared ruleset when
// `root_fd` is the directory it was made for, or with one of its own when
// the root was replaced since start-up; and from creating processes. The
// prepared ruleset's descriptor is closed either way, so that no worker
// can add a rule to what the next worker applies. Gives false where the
// kernel could not apply Landlock.
bool confine_worker(int root_fd);

// Whether workers are to be confined by Landlock: the kernel has it and a
// trial restriction at start-up succeeded. A worker whose restriction
// fails all the same must not serve.
bool landlock_enforced();

// The descriptor of the prepared ruleset, or -1: the filter kills any
// attempt to add a rule to it.
int prepared_ruleset_fd();

// What the filter does with a call that is not on the list.
enum class unlisted_call : unsigned char {
    refuse,  // fails with EPERM: one request degrades, the server goes on
    trap,    // raises SIGSYS with the call's number, for a trial run; a
             // call that would kill traps too. A process that has SIGSYS
             // blocked (as a C library has around a fork) dies of it instead.
};

// Changes to the list: calls a start-up trial found missing, and, for the
// tests that show a missing or killing call is caught, allowed calls left
// off and calls made to kill.
struct filter_changes {
    std::span<const int> added;
    std::span<const int> left_out;
    std::span<const int> killed;
};

// Installs, in the calling process and everything it forks from then on,
// the allowlist of the system calls that the accept loop and a worker make.
// Calls that could only serve an attacker (running programs, new sockets,
// tracing, signals, mounts, namespaces, opening for writing, adding a rule
// to the prepared Landlock ruleset) kill the process. Needs
// no-new-privileges or CAP_SYS_ADMIN. Gives false, installing nothing,
// where the kernel or the build (sanitizers) cannot have it.
bool install_syscall_filter(unlisted_call unlisted = unlisted_call::refuse,
                            const filter_changes& changes = {});

// For a trial: installs the filter (with `changes`) so that a call it would
// refuse or kill is held until a supervisor answers it, whatever the
// caller's signal mask, and gives the descriptor on which the supervisor
// reads them (refuse_held_call). Gives -1, installing nothing, where the
// kernel or the build cannot hold calls; at most max_supervised_additions
// calls of `changes.added` count.
inline constexpr std::size_t max_supervised_additions = 16;
int install_supervised_filter(const filter_changes& changes);

// In the supervisor: waits for the next call held on `listener`, refuses
// it (EPERM), and gives its number; -1 when the listener fails.
long refuse_held_call(int listener);

// Where the list puts a call: not on it, allowed whatever its arguments,
// allowed only with some arguments, or killing.
enum class syscall_listing : unsigned char { unlisted, allowed, checked, killing };
syscall_listing list_entry_of(long number);

// Whether this build has the filter (sanitizer builds do not).
bool syscall_filter_built();

// The name of system call `number` on this architecture, into `name`;
// false (with the number written instead) when it is not known.
bool name_system_call(long number, char* name, std::size_t size);
