// The operating system's text for an errno value, safe to call from any thread.
#pragma once

#include <string>

namespace corvisk {

// Thread-safe (unlike std::strerror, whose buffer is shared): "Connection refused" for
// ECONNREFUSED. Unknown values get the C library's "Unknown error N" text.
std::string errno_text(int errno_value);

}  // namespace corvisk
