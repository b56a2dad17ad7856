#pragma once

// Every time limit of a worker, in one place. The test build shortens the
// two long ones so that the tests that wait them out stay fast.
#ifndef QUILLBARROW_SHORT_TIME_LIMITS
// The whole request head must arrive within this time of the accept, so a
// client that trickles bytes cannot hold a worker for ever.
inline constexpr int head_deadline_ms = 20000;
// A response whose client takes nothing for this long is dropped: no byte
// could be sent, and none of what was queued was acknowledged.
inline constexpr int write_stall_ms = 30000;
// While it cannot send, a worker looks this often at what the client has
// taken from the queue.
inline constexpr int stall_check_ms = 1000;
#else
inline constexpr int head_deadline_ms = 1500;
inline constexpr int write_stall_ms = 1500;
inline constexpr int stall_check_ms = 250;
#endif

// A connection that has waited this long without its whole head is not a
// real client's request on its way: while the server is full, it gives way.
inline constexpr int shed_after_ms = 1000;

// After the response, what the client still sends is read and thrown away
// for at most this long and this much, so that closing does not reset the
// connection while the response is still on its way.
inline constexpr int drain_time_ms = 2000;
inline constexpr long drain_max_bytes = 1L << 20;

// Milliseconds of CLOCK_MONOTONIC, the clock of every worker deadline.
long long monotonic_ms();
