// UniqueFd close path.
#include "unique_fd.hpp"

#include <unistd.h>
#include <cerrno>

#include "errno_text.hpp"
#include "log.hpp"

namespace corvisk {

namespace {

// Descriptors are the transport's sockets and the workers' epoll and eventfd instances.
constexpr const char* kTarget = "corvisk::gige";

}  // namespace

void UniqueFd::reset(int fd) {
    int old = std::exchange(fd_, fd);
    if (old >= 0 && ::close(old) != 0) {
        // EINTR still releases the descriptor on Linux; never retry the close.
        CVK_LOG(log::Level::Warn, kTarget, {}, "close({}) failed: {}", old, errno_text(errno));
    }
}

}  // namespace corvisk
