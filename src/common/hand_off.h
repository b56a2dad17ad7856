#pragma once

#include <cstdint>

// What a worker sends the parent when its client cannot take more at once:
// with the connection, and the open file when part of it is still to
// send, the range of the file that is left. The worker ends after sending
// it; the parent sends the rest at the client's pace and closes.
struct hand_off_message {
    std::int64_t offset;  // the next byte of the file to send
    std::int64_t end;     // one past the last (both 0 with no file)
};

// What a file download may leave unsent in the kernel: the sender is woken
// once less than this is waiting, so a slow reader costs the socket little
// more than this.
inline constexpr int body_unsent_limit = 16 * 1024;
