// The 16-bit status of a GVCP acknowledge with its display texts. It lives in the base layer
// because the transport error (CameraError Status) carries one.
#pragma once

#include <cstdint>
#include <string>

#include <fmt/format.h>

namespace corvisk::gvcp {

// A 16-bit GVCP status. Codes with bit 15 set are errors; everything else counts as success.
class GvcpStatus {
  public:
    constexpr GvcpStatus() = default;
    constexpr explicit GvcpStatus(uint16_t code) : code_(code) {}

    constexpr uint16_t code() const { return code_; }
    constexpr bool is_error() const { return (code_ & 0x8000) != 0; }
    // "access denied (0x8006)" for a known code, "status 0x8008" otherwise.
    std::string display() const;

    friend constexpr bool operator==(GvcpStatus a, GvcpStatus b) { return a.code_ == b.code_; }

  private:
    uint16_t code_ = 0;
};

// The table text of a known status, or nullptr.
const char* status_text(uint16_t code);

}  // namespace corvisk::gvcp

template <>
struct fmt::formatter<corvisk::gvcp::GvcpStatus> : fmt::formatter<std::string> {
    template <typename Ctx>
    auto format(const corvisk::gvcp::GvcpStatus& s, Ctx& ctx) const {
        return fmt::formatter<std::string>::format(s.display(), ctx);
    }
};
