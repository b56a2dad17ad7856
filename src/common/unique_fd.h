#pragma once

#include <cerrno>
#include <unistd.h>

// Owns one descriptor and closes it when it goes out of scope, so that every
// early return closes what the stage opened. Callees borrow the plain int
// from get(); ownership moves only by moving the owner. close() is never
// retried: on Linux the descriptor is gone even when close reports an error.
struct unique_fd {
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives up ownership; the caller must close the result.
    [[nodiscard]] int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the held descriptor, keeping errno so that a caller can still
    // report the failure that made it give up.
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            int saved = errno;
            // Writing errno only when close changed it spares a forked
            // worker the copy of the page that holds it.
            if (::close(fd_) != 0 && errno != saved)
                errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
