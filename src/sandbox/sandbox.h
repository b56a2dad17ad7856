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
// serving that same directory only has to apply it. Prints one line on
// standard error when Landlock cannot be enforced.
void prepare_confinement(const char* root);

// Restricts this worker, before it reads a byte of its connection: through
// Landlock, to reading beneath `root_fd`, with the prepared ruleset when
// `root_fd` is the directory it was made for, or with one of its own when
// the root was replaced since start-up; and from creating processes. The
// prepared ruleset's descriptor is closed either way, so that no worker
// can add a rule to what the next worker applies. Gives false where the
// kernel could not apply Landlock.
bool confine_worker(int root_fd);

// What the filter does with a call that is not on the list.
enum class unlisted_call : unsigned char {
    refuse,  // fails with EPERM: one request degrades, the server goes on
    trap,    // raises SIGSYS with the call's number, for a trial run
};

// Installs, in the calling process and everything it forks from then on,
// the allowlist of the system calls that the accept loop and a worker make.
// Calls that could only serve an attacker (running programs, new sockets,
// tracing, signals, mounts, namespaces, opening for writing) kill the
// process. `left_out` names allowed calls to leave off the list, for tests
// that show a missing call is caught. Needs no-new-privileges or
// CAP_SYS_ADMIN. Gives false, installing nothing, where the kernel or the
// build (sanitizers) cannot have it.
bool install_syscall_filter(unlisted_call unlisted = unlisted_call::refuse,
                            std::span<const int> left_out = {});

// Whether this build has the filter (sanitizer builds do not).
bool syscall_filter_built();

// The name of system call `number` on this architecture, into `name`;
// false (with the number written instead) when it is not known.
bool name_system_call(long number, char* name, std::size_t size);
