// IP and socket address parsing, formatting and sockaddr conversion.
#include "gige/address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <algorithm>
#include <cstring>

namespace corvisk::gige {

IpAddress IpAddress::v4(std::array<uint8_t, 4> octets) {
    IpAddress a;
    a.family_ = AF_INET;
    std::copy(octets.begin(), octets.end(), a.bytes_.begin());
    return a;
}

IpAddress IpAddress::v6(std::array<uint8_t, 16> bytes) {
    IpAddress a;
    a.family_ = AF_INET6;
    a.bytes_ = bytes;
    return a;
}

IpAddress IpAddress::unspecified(int family) {
    return family == AF_INET6 ? v6({}) : v4({});
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
    // inet_pton needs a terminated string; an embedded NUL must not cut the text short.
    if (text.empty() || text.size() > INET6_ADDRSTRLEN || text.find('\0') != text.npos) {
        return std::nullopt;
    }
    std::string s(text);
    IpAddress a;
    if (::inet_pton(AF_INET, s.c_str(), a.bytes_.data()) == 1) {
        a.family_ = AF_INET;
        return a;
    }
    if (::inet_pton(AF_INET6, s.c_str(), a.bytes_.data()) == 1) {
        a.family_ = AF_INET6;
        return a;
    }
    return std::nullopt;
}

bool IpAddress::is_unspecified() const {
    size_t n = is_v4() ? 4 : 16;
    return std::all_of(bytes_.begin(), bytes_.begin() + static_cast<long>(n),
                       [](uint8_t b) { return b == 0; });
}

std::string IpAddress::to_string() const {
    char buf[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family_, bytes_.data(), buf, sizeof buf);
    return buf;
}

socklen_t SocketAddress::to_sockaddr(sockaddr_storage& storage) const {
    std::memset(&storage, 0, sizeof storage);
    if (ip.is_v4()) {
        auto* sin = reinterpret_cast<sockaddr_in*>(&storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        std::memcpy(&sin->sin_addr, ip.bytes().data(), 4);
        return sizeof(sockaddr_in);
    }
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&storage);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    std::memcpy(&sin6->sin6_addr, ip.bytes().data(), 16);
    return sizeof(sockaddr_in6);
}

std::optional<SocketAddress> SocketAddress::from_sockaddr(const sockaddr_storage& storage) {
    if (storage.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
        std::array<uint8_t, 4> octets;
        std::memcpy(octets.data(), &sin->sin_addr, 4);
        return SocketAddress{IpAddress::v4(octets), ntohs(sin->sin_port)};
    }
    if (storage.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        std::array<uint8_t, 16> bytes;
        std::memcpy(bytes.data(), &sin6->sin6_addr, 16);
        return SocketAddress{IpAddress::v6(bytes), ntohs(sin6->sin6_port)};
    }
    return std::nullopt;
}

std::string SocketAddress::to_string() const {
    if (ip.is_v4()) {
        return fmt::format("{}:{}", ip.to_string(), port);
    }
    return fmt::format("[{}]:{}", ip.to_string(), port);
}

}  // namespace corvisk::gige
