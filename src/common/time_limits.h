#pragma once

// Every time limit of a worker, in one place. The test build shortens the
// two long ones so that the tests that wait them out stay fast.
#ifndef QUILLBARROW_SHORT_TIME_LIMITS
// The whole request head must arrive within this time of the accept, so a
// client that trickles bytes cannot hold a worker for ever.
inline constexpr int head_deadline_ms = 20000;
// A write to the client that makes no progress for this long is dropped.
inline constexpr int write_stall_ms = 30000;
#else
inline constexpr int head_deadline_ms = 1500;
inline constexpr int write_stall_ms = 1500;
#endif

// After the response, what the client still sends is read and thrown away
// for at most this long and this much, so that closing does not reset the
// connection while the response is still on its way.
inline constexpr int drain_time_ms = 2000;
inline constexpr long drain_max_bytes = 1L << 20;

// Milliseconds of CLOCK_MONOTONIC, the clock of every worker deadline.
long long monotonic_ms();
