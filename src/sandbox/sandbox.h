#pragma once

// The kernel's confinement of the process tree. The parent prepares it once
// at start-up and every worker inherits it: a system-call allowlist for
// every process, and Landlock, which limits each worker's file access to
// reading beneath the root it opened. All of it is best effort: on a kernel
// without a feature the server runs without it, and says nothing per
// request.

// In the parent, before the first worker: sets no-new-privileges (which
// both confinements need), asks which Landlock version the kernel has, and
// builds the Landlock ruleset for `root` as it is now, so that a worker
// serving that same directory only has to apply it.
void prepare_confinement(const char* root);

// Restricts this worker, through Landlock where the kernel has it, to
// reading beneath `root_fd`: with the prepared ruleset when `root_fd` is the
// directory it was made for, or with one of its own when the root was
// replaced since start-up. Gives false, having changed nothing or less,
// where the kernel cannot.
bool confine_worker(int root_fd);

// Installs, in the calling process and everything it forks from then on,
// the allowlist of the system calls that the accept loop and a worker make.
// Calls that could only serve an attacker (running programs, new sockets,
// tracing, signals, mounts, namespaces, opening for writing) kill the
// process; any other call off the list fails with EPERM. Needs
// no-new-privileges or CAP_SYS_ADMIN. Gives false, installing nothing,
// where the kernel or the build (sanitizers) cannot have it.
bool install_syscall_filter();
