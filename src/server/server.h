#pragma once

// The parent process: command line, start-up and the accept loop.

#include "common/server_config.h"

// Parses a port the way strtol does (leading blanks and one sign allowed);
// valid only when the whole text is consumed and the value is 1 to 65535.
bool parse_port(const char* text, long* port);

// Runs start-up from the command line: checks the arguments and the root,
// opens the listening socket and prints the banner. Returns -1 when the
// server should go on to serve `config`, or else the exit status (messages
// already printed).
int start_server(int argc, char** argv, server_config& config);

// Accepts connections for ever, forking one worker per connection.
[[noreturn]] void accept_loop(const server_config& config);
