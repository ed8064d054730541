#include "NerivaneKit/net/ProbeAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace nerivane {
namespace {

std::vector<ProbeAddress> lookup(const std::string& host, bool numericOnly) {
    // An empty text names no host, and a NUL inside would silently cut the
    // text short; neither goes to the resolver.
    if (host.empty() || host.find('\0') != std::string::npos) return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return {};
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, &freeaddrinfo);

    std::vector<ProbeAddress> result;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        auto address = ProbeAddress::fromSocketAddress(entry->ai_addr, entry->ai_addrlen);
        if (!address) continue;
        if (std::find(result.begin(), result.end(), *address) == result.end()) result.push_back(*address);
    }
    return result;
}

}  // namespace

ProbeAddress ProbeAddress::v4(std::array<std::uint8_t, 4> bytes) {
    ProbeAddress address;
    address.family = IPFamily::v4;
    std::copy(bytes.begin(), bytes.end(), address.bytes.begin());
    return address;
}

ProbeAddress ProbeAddress::v6(std::array<std::uint8_t, 16> bytes, std::uint32_t scopeID) {
    ProbeAddress address;
    address.family = IPFamily::v6;
    address.bytes = bytes;
    address.scopeID = scopeID;
    return address;
}

std::optional<ProbeAddress> ProbeAddress::parse(const std::string& text) {
    auto addresses = lookup(text, true);
    if (!addresses.empty()) return addresses.front();

    // glibc takes an interface name after "%" only for link-local and
    // multicast addresses, yet text() names the scope of any IPv6 address.
    // So that every text parses back, read "address%name" ourselves when the
    // resolver refuses it: an unscoped IPv6 literal and a known interface.
    const auto percent = text.rfind('%');
    if (percent == std::string::npos || percent + 1 == text.size()) return std::nullopt;
    if (text.find('\0') != std::string::npos) return std::nullopt;
    const unsigned index = if_nametoindex(text.c_str() + percent + 1);
    if (index == 0) return std::nullopt;
    auto unscoped = lookup(text.substr(0, percent), true);
    if (unscoped.empty() || unscoped.front().family != IPFamily::v6 || unscoped.front().scopeID != 0)
        return std::nullopt;
    unscoped.front().scopeID = index;
    return unscoped.front();
}

std::vector<ProbeAddress> ProbeAddress::resolve(const std::string& host) { return lookup(host, false); }

std::string ProbeAddress::text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    const int af = family == IPFamily::v4 ? AF_INET : AF_INET6;
    if (inet_ntop(af, bytes.data(), buffer, sizeof buffer) == nullptr) return {};
    std::string result = buffer;
    // Only IPv6 has scopes; a stray index on an IPv4 value would print a text
    // that no longer parses.
    if (family == IPFamily::v6 && scopeID != 0) {
        char name[IF_NAMESIZE] = {};
        if (if_indextoname(scopeID, name) != nullptr) result += "%" + std::string(name);
    }
    return result;
}

sockaddr_storage ProbeAddress::socketAddress(std::uint16_t port, socklen_t& length) const {
    sockaddr_storage storage{};
    if (family == IPFamily::v4) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        std::memcpy(&in->sin_addr, bytes.data(), 4);
        length = sizeof(sockaddr_in);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        in6->sin6_flowinfo = 0;
        std::memcpy(&in6->sin6_addr, bytes.data(), 16);
        in6->sin6_scope_id = scopeID;
        length = sizeof(sockaddr_in6);
    }
    return storage;
}

std::optional<ProbeAddress> ProbeAddress::fromSocketAddress(const sockaddr* address, socklen_t length) {
    if (address == nullptr) return std::nullopt;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        ProbeAddress result;
        result.family = IPFamily::v4;
        std::memcpy(result.bytes.data(), &in.sin_addr, 4);
        return result;
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        ProbeAddress result;
        result.family = IPFamily::v6;
        std::memcpy(result.bytes.data(), &in6.sin6_addr, 16);
        result.scopeID = in6.sin6_scope_id;
        return result;
    }
    return std::nullopt;
}

}  // namespace nerivane

std::size_t std::hash<nerivane::ProbeAddress>::operator()(const nerivane::ProbeAddress& address) const noexcept {
    std::size_t h = static_cast<std::size_t>(address.family) * 1'000'003u ^ address.scopeID;
    for (auto b : address.bytes) h = h * 131 + b;
    return h;
}
