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
    unsigned long long memory_max = 0;  // bytes
    unsigned long long memory_used =
        0;  // bytes in use, but for file pages the kernel can take back
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
// `by_processes` tells whether the process limit set it.
long derive_worker_bound(const cgroup_limits& limits, bool* by_processes = nullptr);

// What a connection waiting for its head costs the kernel, measured (see
// bench/NOTES.md), and the most the parent holds at once.
inline constexpr unsigned long long waiting_memory_cost = 8ull * 1024;
inline constexpr std::size_t max_room_capacity = 65536;
inline constexpr std::size_t room_spare_descriptors = 64;

// How many connections the parent may hold while their heads arrive, with
// `descriptors` open files allowed: half of the free memory at most.
std::size_t derive_room_capacity(const cgroup_limits& limits, std::size_t descriptors);

// The limits of this process's own cgroup.
cgroup_limits find_cgroup_limits();

// The parent's out-of-memory score, opened at start-up while /proc/self is
// still the server's own: each worker is forked with the highest score, so
// that, should memory run out all the same, the kernel kills a worker
// rather than the parent. The worker closes its copy with the parent's
// other descriptors, before it reads.
void prepare_oom_score();
void raise_oom_score_for_fork();
void restore_oom_score();

// The waiting room: connections the parent holds until their request head
// has arrived, or until a worker is free for them.
enum class room_place : unsigned char { none, waiting, ready };
enum class head_state : unsigned char {
    complete,  // the end of the head, a full buffer, or the client's end after some bytes
    partial,   // some bytes, not yet the end
    silent,    // nothing yet
    gone,      // the client left before a byte, or the connection failed
};

// Anonymous memory, paged in only once touched, that no worker inherits.
void* map_unshared(std::size_t bytes);

// At start-up: the accept loop's record of its workers.
bool prepare_accept_loop();

// At start-up: tables for `capacity` connections on descriptors below
// `descriptors`, and the set that watches them.
bool open_waiting_room(std::size_t capacity, std::size_t descriptors);
int waiting_room_fd();
bool waiting_room_full();
std::size_t waiting_room_held();
// Looks at what `fd` has brought, without taking it; `client_done` when
// the client has said it will send no more.
head_state look_at_head(int fd, bool client_done);
// Holds `fd` as waiting for its head (watched) or ready for a worker;
// false when the room is full or the kernel refuses to watch it.
bool hold_connection(int fd, long long accepted_ms, room_place place);
long long accepted_at(int fd);
room_place place_of(int fd);
// No longer held (about to be closed or handed to a worker).
void let_go(int fd);
// The connection held longest in `place`, or -1.
int first_held(room_place place);

// Accepts connections, forking one worker for each once its request head
// has arrived, until SIGTERM or SIGINT. SIGTERM closes the listening
// socket, lets the connections already taken have their workers, and
// returns once the last worker has ended (a second SIGTERM ends the process
// at once); SIGINT ends the process at once. Gives the exit status.
int accept_loop(const server_config& config);

// The worker's side of the fork: lets go of what the parent holds, puts
// back the signal actions the parent set for itself and answers the
// connection, whose head is due by `head_due_ms` (monotonic). Does not
// return.
[[noreturn]] void start_worker(int conn_fd, const server_config& config, long long head_due_ms);

// How a trial request under the system-call filter went.
struct filter_trial {
    enum : unsigned char {
        passed,
        refused,
        killed,
        unfinished,
        cannot_hold,
        unavailable,
        not_started
    } outcome = passed;
    long detail = 0;  // the refused call's number, the killing signal, or the fork's errno
};

// Serves one whole request against the root in a process of its own that
// runs under `list`, as the accept loop and a worker would: a fork, the
// worker's confinement, the walk, the status queries, the directory read
// or file send. The kernel holds the first call the filter would refuse or
// kill for this process, which names it and ends the trial. Waits at most
// trial_time_limit_ms (and a moment for the trial to end once it is
// killed).
filter_trial try_syscall_filter(const server_config& config, const filter_list& list);

inline constexpr int trial_time_limit_ms = 10000;

// What the start-up check of the filter found.
struct filter_check {
    enum : unsigned char {
        passed,        // serving needs nothing more than the list (and `added`)
        needs_listed,  // a call the list names: it kills it, checks it, or must never add it
        unchecked,     // no trial could settle it: the filter goes on unchecked
        unavailable,   // the kernel refuses the filter
    } outcome = passed;
    filter_trial trial;  // the last trial: the call needed, or why none finished
    int added[max_added_calls] = {};
    std::size_t added_count = 0;
    filter_list list;  // what to install: `base` and the calls added
};

// Runs the trial until it passes, adding each call it finds missing that
// the list does not name, for at most max_added_calls rounds.
filter_check check_syscall_filter(const server_config& config, const filter_list& base);

// The start-up check of the server's list: says in one line on standard
// error what it added or could not settle. Gives false when the server
// must not serve (serving needs a call the list names otherwise).
bool settle_syscall_filter(const server_config& config, filter_check& check);
