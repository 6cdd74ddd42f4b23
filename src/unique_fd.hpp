// Owning handle for a file descriptor (sockets, epoll, eventfd): move-only, closes on reset.
// Owns the descriptor and is not thread-safe, in the sense of docs/threading.md.
#pragma once

#include <utility>

namespace corvisk {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool is_valid() const { return fd_ >= 0; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    // Closes the current descriptor (a failed close is logged) and takes ownership of fd.
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

}  // namespace corvisk
