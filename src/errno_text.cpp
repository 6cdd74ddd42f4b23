// errno texts through the reentrant strerror_r.
#include "errno_text.hpp"

#include <cstring>

namespace corvisk {

std::string errno_text(int errno_value) {
    char buf[256];
    // GNU strerror_r returns a pointer to a static text or to buf; either way it stays valid
    // until the copy below.
    const char* text = ::strerror_r(errno_value, buf, sizeof buf);
    return text;
}

}  // namespace corvisk
