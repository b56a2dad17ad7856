#pragma once

#include <cstddef>
#include <span>
#include <sys/stat.h>

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
// fails all the same must not serve: it closes its connection unanswered
// and ends with this status, which the parent reports.
bool landlock_enforced();
inline constexpr int unconfined_exit_status = 3;

// Started as root, the server serves as nobody: the user and group of
// every worker, with no supplementary groups (by number: no name lookup).
inline constexpr unsigned nobody_id = 65534;

// At start-up: records whether the server runs as root and holds
// capabilities, and clears the ambient and inheritable ones, which only a
// program it ran would use, for this process and all it forks.
void note_identity();
bool started_as_root();
// Root in a user namespace that maps no nobody: it serves as it is, with
// no capability, and started_as_root() says no.
bool started_as_root_without_nobody();

// Whether nobody may enter a directory of this status (its owner, its
// group, or everyone else, by the search bit).
bool nobody_can_search(const struct stat& status);

// In the parent, at the end of start-up: started as root, it becomes
// nobody with no supplementary groups; whatever the start, it lets go of
// every capability, for good. Gives nullptr, or the call that failed
// (errno tells why).
const char* leave_root_in_parent();

// In a worker, once it has opened its root and before it reads: where the
// parent has not yet (the start-up trial), becomes nobody and lets go of
// every capability. Gives false where it could not: the worker must not
// serve.
bool leave_root();

// In the parent, at the end of start-up, once it opens nothing more:
// restricts it, and so every worker, through Landlock, to reading beneath
// `holder`, the directory that holds the root (so that a root replaced by
// another directory is served at once) or the root itself; and where the
// kernel can, from signalling or reaching abstract sockets outside. Gives
// false where the kernel refused.
bool confine_parent(int holder);

// The descriptor of the prepared ruleset, or -1: the filter kills any
// attempt to add a rule to it.
int prepared_ruleset_fd();

// The system-call allowlist is one table of rows, read top to bottom:
// each row says what the filter does with one call. Rows of one call
// combine: every `allow_if` (or `kill_unless`) row of it in the same group
// must hold at once.
enum class filter_rule : unsigned char {
    allow,          // whatever its arguments
    allow_if,       // while argument `arg` is `value`; with any other it is refused
    kill_unless,    // allowed while argument `arg` is `value`; with any other it kills
    allow_without,  // while argument `arg` has none of the bits of `value`; with any it is refused
    kill_with,      // while argument `arg` has none of the bits of `value`; any of them kills
    guard_ruleset,  // allowed, but with the prepared Landlock ruleset as argument `arg` it kills
    kill,           // only an attacker would make it: the process ends
    missing,        // fails with ENOSYS, as on a kernel without it
    never_add,      // refused, and never added by the start-up check: it would undo the rest
};

struct filter_row {
    int call = 0;
    filter_rule rule = filter_rule::allow;
    unsigned char arg = 0;
    unsigned long long value = 0;
    // `allow_if` rows of one call and one group must hold at once; each
    // group is a way of its own to be allowed.
    unsigned char group = 0;
};

// The calls a start-up check may add, and room for the rows of the list.
inline constexpr std::size_t max_added_calls = 8;
inline constexpr std::size_t max_filter_rows = 224;

// A copy of the list, to change: the start-up check adds what it finds
// missing, and tests leave rows out or make calls kill.
struct filter_list {
    filter_row rows[max_filter_rows];
    std::size_t count = 0;
};

// The server's own list (empty where the build has no filter).
filter_list server_filter_list();

// Whether any row names `call`.
bool lists_call(const filter_list& list, long call);

// Drops every row of `call`, and with `rule` puts one row in their place.
// set_call_rule gives false when the list is full.
void drop_call(filter_list& list, int call);
bool set_call_rule(filter_list& list, int call, filter_rule rule);

// Installs `list` in the calling process and everything it forks from then
// on; a call off the list fails with EPERM, so that one request degrades
// and the server goes on. Needs no-new-privileges or CAP_SYS_ADMIN. Gives
// false, installing nothing, where the kernel or the build (sanitizers)
// cannot have it.
bool install_syscall_filter(const filter_list& list);

// For a start-up check: installs `list` so that a call off it, or one that
// would kill, is held until a supervisor answers it (whatever the caller's
// signal mask), and gives the descriptor on which the supervisor reads
// them. Gives -1, installing nothing, where the kernel cannot hold calls.
int install_supervised_filter(const filter_list& list);

// In the supervisor: waits for the next call held on `listener`, refuses
// it (EPERM), and gives its number; -1 when the listener fails.
long refuse_held_call(int listener);

// Whether this build has the filter (sanitizer builds do not).
bool syscall_filter_built();

// The name of system call `number` on this architecture, into `name`;
// false (with the number written instead) when it is not known.
bool name_system_call(long number, char* name, std::size_t size);
