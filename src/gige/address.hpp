// IP and socket addresses (IPv4 or IPv6) as plain values, with the conversions to and from the
// socket API's sockaddr forms.
#pragma once

#include <sys/socket.h>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace corvisk::gige {

// An IPv4 or IPv6 address. A plain value.
class IpAddress {
  public:
    // The IPv4 unspecified address 0.0.0.0.
    IpAddress() = default;
    static IpAddress v4(std::array<uint8_t, 4> octets);
    static IpAddress v6(std::array<uint8_t, 16> bytes);
    // The unspecified address of the family: 0.0.0.0 or ::.
    static IpAddress unspecified(int family);

    // The textual form of an IPv4 (dotted quad) or IPv6 address; no blanks, ports or host names.
    static std::optional<IpAddress> parse(std::string_view text);

    int family() const { return family_; }  // AF_INET or AF_INET6
    bool is_v4() const { return family_ == AF_INET; }
    bool is_unspecified() const;
    // The first 4 bytes are the IPv4 octets; all 16 are the IPv6 bytes.
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }
    std::array<uint8_t, 4> v4_octets() const {
        return {bytes_[0], bytes_[1], bytes_[2], bytes_[3]};
    }

    // "192.168.1.10" or the compressed IPv6 form ("::1").
    std::string to_string() const;

    friend bool operator==(const IpAddress&, const IpAddress&) = default;

  private:
    int family_ = AF_INET;
    std::array<uint8_t, 16> bytes_{};
};

// An IP address with a UDP port.
struct SocketAddress {
    IpAddress ip;
    uint16_t port = 0;

    // Fills storage and returns the length to pass to bind/sendto.
    socklen_t to_sockaddr(sockaddr_storage& storage) const;
    // Nothing for a family other than AF_INET / AF_INET6.
    static std::optional<SocketAddress> from_sockaddr(const sockaddr_storage& storage);

    // "10.0.0.2:3956" or "[::1]:3956".
    std::string to_string() const;

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

}  // namespace corvisk::gige

template <>
struct fmt::formatter<corvisk::gige::IpAddress> : fmt::formatter<std::string> {
    template <typename Ctx>
    auto format(const corvisk::gige::IpAddress& a, Ctx& ctx) const {
        return fmt::formatter<std::string>::format(a.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<corvisk::gige::SocketAddress> : fmt::formatter<std::string> {
    template <typename Ctx>
    auto format(const corvisk::gige::SocketAddress& a, Ctx& ctx) const {
        return fmt::formatter<std::string>::format(a.to_string(), ctx);
    }
};
