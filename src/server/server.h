#pragma once

// The parent process: command line, start-up and the accept loop.

#include <span>
#include <string_view>

#include "common/server_config.h"
#include "sandbox/sandbox.h"

// Parses a port the way strtol does (leading blanks and one sign allowed);
// valid only when the whole text is consumed and the value is 1 to 65535.
bool parse_port(const char* text, long* port);

// Runs start-up from the command line: checks the arguments and the root,
// opens the listening socket and prints the banner. Returns -1 when the
// server should go on to serve `config`, or else the exit status (messages
// already printed).
int start_server(int argc, char** argv, server_config& config);

// What the server's cgroup allows, where it sets a limit (0: none found).
struct cgroup_limits {
    unsigned long long memory_max = 0;   // bytes
    unsigned long long memory_used = 0;  // bytes in use, but for file pages the kernel can take back
    unsigned long long pids_max = 0;
    unsigned long long pids_used = 0;
};

// What one worker costs its cgroup, measured (see bench/NOTES.md): the
// process with its page tables, kernel stack and kernel objects, and the
// socket buffers of a download whose client has stopped reading.
inline constexpr unsigned long long worker_memory_cost = 256ull * 1024;
// Kept free for the parent, the file pages being sent and what else runs.
inline constexpr unsigned long long memory_reserve = 4ull << 20;

// Reads the limits of the cgroup that `self_cgroup` (the text of
// /proc/self/cgroup) names, from the cgroup file systems under `root`
// (/sys/fs/cgroup): v2, or v1's memory and pids controllers.
cgroup_limits read_cgroup_limits(const char* root, std::string_view self_cgroup);

// How many workers may run at once within `limits`; 0 for no bound.
long derive_worker_bound(const cgroup_limits& limits);

// The bound for this process's own cgroup.
long find_worker_bound();

// The parent's out-of-memory score, opened at start-up while /proc/self is
// still the server's own: each worker is forked with the highest score, so
// that, should memory run out all the same, the kernel kills a worker
// rather than the parent. The worker closes its copy before it reads.
void prepare_oom_score();
void raise_oom_score_for_fork();
void restore_oom_score();
void close_oom_score();

// Accepts connections, forking one worker per connection, until SIGTERM or
// SIGINT. SIGTERM closes the listening socket and returns once the last
// worker has ended (a second SIGTERM ends the process at once); SIGINT ends
// the process at once. Gives the exit status.
int accept_loop(const server_config& config);

// The worker's side of the fork: puts back the signal actions the parent
// set for itself and answers the connection. Does not return.
[[noreturn]] void start_worker(int conn_fd, const server_config& config);

// How a trial request under the system-call filter went.
struct filter_trial {
    enum : unsigned char { passed, refused, killed, unfinished, unavailable, not_started } outcome = passed;
    long detail = 0;  // the refused call's number, the killing signal, or the fork's errno
};

// Serves one whole request against the root in a process of its own that
// runs under the filter (with `changes`), as the accept loop and a worker
// would: a fork, the worker's confinement, the walk, the status queries,
// the directory read or file send. The first call the filter would refuse
// or kill is reported rather than made. Waits at most trial_time_limit_ms
// (and a moment for the trial to end once it is killed). Call before
// SIGCHLD is ignored.
filter_trial try_syscall_filter(const server_config& config, const filter_changes& changes = {});

inline constexpr int trial_time_limit_ms = 10000;
inline constexpr std::size_t max_added_calls = 8;

// What the start-up check of the filter found.
struct filter_check {
    enum : unsigned char {
        passed,       // serving needs nothing more than the list (and `added`)
        needs_listed,  // a call the list kills, or allows only with other arguments
        unchecked,    // no trial could finish: the filter goes on unchecked
        unavailable,  // the kernel refuses the filter
    } outcome = passed;
    filter_trial trial;  // the last trial: the call needed, or why none finished
    int added[max_added_calls] = {};
    std::size_t added_count = 0;
};

// Runs the trial until it passes, adding each call it finds missing that
// the list does not name, for at most max_added_calls rounds.
filter_check check_syscall_filter(const server_config& config, const filter_changes& base = {});
