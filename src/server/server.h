#pragma once

// The parent process: command line, start-up and the accept loop.

#include <span>

#include "common/server_config.h"

// Parses a port the way strtol does (leading blanks and one sign allowed);
// valid only when the whole text is consumed and the value is 1 to 65535.
bool parse_port(const char* text, long* port);

// Runs start-up from the command line: checks the arguments and the root,
// opens the listening socket and prints the banner. Returns -1 when the
// server should go on to serve `config`, or else the exit status (messages
// already printed).
int start_server(int argc, char** argv, server_config& config);

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
// runs under the filter (less `left_out`), as the accept loop and a worker
// would: a fork, the worker's confinement, the walk, the status queries,
// the directory read or file send. The first call off the list is reported
// rather than refused. Call before SIGCHLD is ignored.
filter_trial try_syscall_filter(const server_config& config, std::span<const int> left_out = {});
