// epoll + eventfd implementation of Poller and Waker.
#include "poller.hpp"

#include <sys/eventfd.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace corvisk {

CameraResult<std::shared_ptr<Waker>> Waker::create() {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return Err{CameraError::io(errno)};
    }
    return std::make_shared<Waker>(UniqueFd(fd));
}

void Waker::wake() const {
    uint64_t one = 1;
    // EAGAIN means the counter is saturated: a wake-up is already pending, which is enough.
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void Waker::drain() const {
    uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(fd_.get(), &value, sizeof value);
}

CameraResult<Poller> Poller::create() {
    int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        return Err{CameraError::io(errno)};
    }
    return Poller(UniqueFd(fd));
}

CameraResult<void> Poller::add_readable(int fd, uint64_t token) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = token;
    if (::epoll_ctl(fd_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        return Err{CameraError::io(errno)};
    }
    return {};
}

CameraResult<void> Poller::add_waker(const Waker& waker, uint64_t token) {
    CVK_TRY_VOID(add_readable(waker.fd(), token));
    waker_fd_ = waker.fd();
    waker_token_ = token;
    return {};
}

CameraResult<size_t> Poller::wait(std::span<Event> out, int timeout_ms) {
    epoll_event events[64];
    int max = static_cast<int>(std::min<size_t>(out.size(), 64));
    int n = ::epoll_wait(fd_.get(), events, max, timeout_ms);
    if (n < 0) {
        return Err{CameraError::io(errno)};
    }
    for (int i = 0; i < n; ++i) {
        out[i] = Event{events[i].data.u64, events[i].events};
        if (waker_fd_ >= 0 && events[i].data.u64 == waker_token_) {
            uint64_t value;
            [[maybe_unused]] ssize_t r = ::read(waker_fd_, &value, sizeof value);
        }
    }
    return static_cast<size_t>(n);
}

}  // namespace corvisk
