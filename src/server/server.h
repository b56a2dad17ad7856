#pragma once

// The parent process: command line, start-up and the accept loop.

#include <cstdint>
#include <span>
#include <sys/types.h>
#include <string_view>

#include "common/server_config.h"
#include "sandbox/sandbox.h"

// --- start-up (start_server.cpp) ---
// Parses a port the way strtol does (leading blanks and one sign allowed);
// valid only when the whole text is consumed and the value is 1 to 65535.
bool parse_port(const char* text, long* port);

// Runs start-up from the command line: checks the arguments and the root,
// opens the listening socket and prints the banner. Returns -1 when the
// server should go on to serve `config`, or else the exit status (messages
// already printed).
int start_server(int argc, char** argv, server_config& config);

// --- the limits of the server's cgroup (worker_bound.cpp) ---
// What the server's cgroup allows, where it sets a limit (0: none found).
struct cgroup_limits {
    unsigned long long memory_max = 0;  // bytes
    unsigned long long memory_used =
        0;  // bytes in use, but for file pages the kernel can take back
    unsigned long long pids_max = 0;
    unsigned long long pids_used = 0;
    // The directory of the memory controller's cgroup (empty: none), and
    // whether it is cgroup v2's.
    char memory_dir[root_buffer_size + 64] = {};
    bool memory_v2 = false;
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

// What a connection waiting for its head may cost the kernel at most: its
// receive buffer, which the listening socket keeps to 16 KiB (32 KiB in
// the kernel's count), full of small segments (see bench/NOTES.md: a
// request line alone takes 7.8 KiB). Counted at that, the heads fit their
// half of the budget on cgroup v2 too, where socket buffers are charged.
inline constexpr unsigned long long waiting_memory_cost = 32ull * 1024;
// What a download handed back to the parent costs, its socket buffers
// included, while its client reads slowly or not at all (bench/NOTES.md).
inline constexpr unsigned long long handed_memory_cost = 40ull * 1024;
inline constexpr std::size_t max_room_capacity = 65536;
inline constexpr std::size_t room_spare_descriptors = 64;

// How many descriptors the connections the parent holds may use, with
// `descriptors` open files allowed.
std::size_t derive_room_capacity(std::size_t descriptors);

// The memory that workers and held connections may take, counted as
// cgroup v2 charges them: what is free but for a reserve. 0: no limit.
// Heads on their way may take half of it.
unsigned long long derive_memory_budget(const cgroup_limits& limits);

// The limits of this process's own cgroup.
cgroup_limits find_cgroup_limits();

// --- what is really charged (memory_gate.cpp) ---
// Memory the kernel has charged to the server's cgroup can lag behind the
// workers counted: a worker that has ended is uncharged some time after it
// is reaped. So near the limit a fork looks at what is charged.
struct memory_gate {
    int usage_fd = -1;  // memory.current, or v1's memory.usage_in_bytes
    int stat_fd = -1;   // memory.stat
    bool v2 = false;
    unsigned long long limit = 0;  // 0: no limit
    unsigned long long usage = 0;  // charged at the last look, but for file pages it can drop
    long long looked_ms = -1;
    unsigned long long forks_since = 0;
};
// At start-up, while the cgroup's files may still be opened: the files the
// loop's gate reads, into `config`.
void open_memory_gate(server_config& config, const cgroup_limits& limits);
// Whether a worker's worst case still fits beside `usage` within `limit`,
// with the reserve.
bool worker_fits(unsigned long long usage, unsigned long long limit);
// What is charged but for file pages the kernel can drop (not shared
// memory), from the texts of the usage and memory.stat files.
unsigned long long charged_usage(std::string_view usage, std::string_view stat, bool v2);
// Whether a worker may be forked now. Far from the limit (what was charged
// at the last look, with every fork since at its worst case, leaves room)
// it reads nothing; near it, or a tenth of a second after the last look,
// it reads what is charged.
bool memory_allows_fork(memory_gate& gate, long long now_ms);
void note_fork(memory_gate& gate);

// --- the out-of-memory score (oom_score.cpp) ---
// The parent's out-of-memory score, opened at start-up while /proc/self is
// still the server's own: each worker is forked with the highest score, so
// that, should memory run out all the same, the kernel kills a worker
// rather than the parent. The worker closes its copy with the parent's
// other descriptors, before it reads.
void prepare_oom_score();
void raise_oom_score_for_fork();
void restore_oom_score();
// Leaves the score alone from now on (a trial's own loop).
void forget_oom_score();

// --- the connections the parent holds (waiting_room.cpp) ---
// Where a held connection is in its life: its head on its way, its head
// complete with no worker free yet, the rest of a file a worker handed
// back being sent, that file's next pages being read in from a slow disk,
// or the lingering close after the last byte.
enum class room_place : unsigned char { none, waiting, ready, sending, warming, lingering };
inline constexpr int room_place_count = 6;
enum class head_state : unsigned char {
    complete,  // the end of the head, a full buffer, or the client's end after some bytes
    partial,   // some bytes, not yet the end
    silent,    // nothing yet
    gone,      // the client left before a byte, or the connection failed
};

// One held connection, by its descriptor number.
struct connection_slot {
    // waiting, ready: the accept; sending, warming: the last time the
    // client took something; lingering: the last byte queued.
    long long since_ms;
    long long offset;  // the next byte of the file to send
    long long end;     // the end of what the header announced
    long drained;      // bytes thrown away while lingering
    int file_fd;       // the file being sent, or -1
    int last_queued;   // what the client had not acknowledged at the last look
    int previous;      // the neighbours in its place's list, or -1
    int next;
    room_place place;
};

// Anonymous memory, paged in only once touched, that no worker inherits.
void* map_unshared(std::size_t bytes);

// At start-up: tables for connections using at most `capacity` descriptors
// below `descriptors`, and the set that watches them.
bool open_waiting_room(std::size_t capacity, std::size_t descriptors);
int waiting_room_fd();
bool waiting_room_full();
std::size_t waiting_room_held();
std::size_t held_in(room_place place);
// The one buffer for client bytes that the parent looks at or throws away.
inline constexpr std::size_t client_bytes_size = 16384;
char* client_byte_buffer();
// Looks at what `fd` has brought, without taking it; `client_done` when
// the client has said it will send no more.
head_state look_at_head(int fd, bool client_done);
// Watches `fd` for `events` (edge-triggered); false when the kernel refuses.
bool watch_connection(int fd, std::uint32_t events);
// Holds `fd` in `place` since `since_ms`, with the file it sends (or -1);
// false when the descriptor is out of the tables or held already.
bool hold_connection(int fd, long long since_ms, room_place place, int file_fd = -1);
// Moves a held connection to the end of `place`'s list.
void move_connection(int fd, room_place place, long long since_ms);
connection_slot& slot_of(int fd);
// Closes the file a held connection was sending.
void close_file(int fd);
room_place place_of(int fd);
// No longer held (about to be closed or handed to a worker): unwatched, its
// file closed.
void let_go(int fd);
// The connection first in `place`'s list (the one due next), or -1, and the
// one after `fd` in its list, or -1.
int first_held(room_place place);
int next_held(int fd);

// --- the rest of a response, handed back by a worker (finish_response.cpp) ---
// A worker's message on the hand-back channel, checked: the connection
// and the file with the part of it still to send (no file: only the
// lingering close is left).
struct hand_back {
    pid_t worker = 0;
    int conn_fd = -1;
    int file_fd = -1;
    long long offset = 0;
    long long end = 0;
};
enum class hand_back_state : unsigned char { none, taken, refused };
// Takes the next message from `channel` (non-blocking); anything but a
// connected TCP socket, and a regular file with a range inside it, is
// closed and refused.
hand_back_state receive_hand_back(int channel, hand_back& out);
// At start-up: the channel on which workers hand back what is left of a
// response (a socket pair of whole messages, non-blocking, that tells the
// parent which process sent each).
bool open_hand_off_channel(server_config& config);
enum class send_state : unsigned char { blocked, cold, done, failed };
// Sends what the client takes now of the file held on `fd`; `cold` when the
// next pages are not in memory (a read would wait for the disk), after
// asking the kernel to read them in.
send_state send_rest(int fd, connection_slot& slot);
// Whether the next pages of the file are in memory now.
bool rest_is_warm(const connection_slot& slot);
// Throws away what the client sent after its request; gives true when the
// connection may be closed now (the client is done, or the time or byte
// limit has run out).
bool drain_input(int fd, connection_slot& slot, long long now);
// Bytes sent and not yet acknowledged, and not yet sent, or -1.
int unacknowledged_bytes(int fd);
// A response given up on: the connection is reset, which frees at once
// what the kernel still holds for it.
void reset_connection(int fd);

// --- the process that forks the workers (forker.cpp) ---
// What the forker tells the parent of each request, in order: the worker
// it forked, or why it could not. Several go in one message.
struct forker_report {
    std::uint64_t sequence;  // the request's
    std::int32_t worker;     // its process id, or -1
    std::int32_t error;      // errno of a failed fork
};
// At start-up: the channel between the parent and the forker (a socket
// pair of whole messages); the parent keeps both ends, so that a forker
// started again takes the requests that wait.
bool open_forker_channel(server_config& config);
// Forks the forker at the highest out-of-memory score; gives its process
// id, or -1.
pid_t start_forker(const server_config& config);
// Asks the forker for a worker for `conn_fd` (non-blocking); false when
// the channel is full.
bool request_worker(int forker_fd, int conn_fd, std::uint64_t sequence, long long accepted_ms);
// Takes the next message of reports (non-blocking); gives how many.
inline constexpr std::size_t max_reports_per_message = 64;
std::size_t receive_reports(int forker_fd, forker_report (&reports)[max_reports_per_message]);
// The worker's side: lets go of what the parent and the forker hold, puts
// back the signal actions the parent set for itself and answers the
// connection, whose head is due by `head_due_ms` (monotonic). Does not
// return.
[[noreturn]] void start_worker(int conn_fd, const server_config& config, long long head_due_ms);

// --- the loop (accept_loop.cpp) ---
// At start-up: the accept loop's record of its workers.
bool prepare_accept_loop();

// Accepts connections, having the forker fork one worker for each once its
// request head has arrived, and finishes what workers hand back, until
// SIGTERM or SIGINT. SIGTERM closes the listening socket, lets the
// connections already taken have their workers and their downloads, and
// returns once the last has ended (a second SIGTERM ends the process at
// once); SIGINT ends the process at once. Gives the exit status.
int accept_loop(const server_config& config);

// --- the start-up check of the system-call filter (check_syscall_filter.cpp) ---
// What the start-up check of the filter found.
struct filter_check {
    enum : unsigned char {
        passed,        // serving needs nothing more than the list (and `added`)
        needs_listed,  // `call`, which the list names: it kills it, checks it, or must never add it
        unchecked,     // no trial could settle it (`reason`): the filter goes on unchecked
        unavailable,   // the kernel refuses the filter
    } outcome = passed;
    long call = -1;
    char reason[160] = {};
    int added[max_added_calls] = {};
    std::size_t added_count = 0;
    filter_list list;  // what to install: `base` and the calls added
};

// Serves whole requests against the root in a process of its own that
// runs under the list, as the loop and its workers would, until a trial
// passes, adding each call it finds missing that the list does not name,
// for at most max_added_calls rounds. The kernel holds the first call the
// filter would refuse or kill, which names it and ends that trial.
filter_check check_syscall_filter(const server_config& config, const filter_list& base);

// The start-up check of the server's list: says in one line on standard
// error what it added or could not settle. Gives false when the server
// must not serve (serving needs a call the list names otherwise).
bool settle_syscall_filter(const server_config& config, filter_check& check);
