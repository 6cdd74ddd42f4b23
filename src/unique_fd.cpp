// UniqueFd close path.
#include "unique_fd.hpp"

#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "log.hpp"

namespace corvisk {

void UniqueFd::reset(int fd) {
    int old = std::exchange(fd_, fd);
    if (old >= 0 && ::close(old) != 0) {
        // EINTR still releases the descriptor on Linux; never retry the close.
        CVK_LOG(log::Level::Warn, "corvisk::thread_util", {}, "close({}) failed: {}", old,
                std::strerror(errno));
    }
}

}  // namespace corvisk
