#include "stream/endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace vel::stream {

namespace {

bool isV4Mapped(const in6_addr& address) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(address.s6_addr, kPrefix, sizeof kPrefix) == 0;
}

const sockaddr_in6& asV6(const Endpoint& endpoint) {
    return *reinterpret_cast<const sockaddr_in6*>(&endpoint.storage);
}

Endpoint fromV6(const in6_addr& address, std::uint16_t port) {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = address;
    v6.sin6_port = htons(port);
    return endpointFromSockaddr(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
}

Endpoint fromV4(const in_addr& address, std::uint16_t port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr = address;
    v4.sin_port = htons(port);
    return endpointFromSockaddr(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

bool parsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool parseHost(std::string_view host, std::uint16_t port, Endpoint& out) {
    const std::string text(host);
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        out = fromV4(v4, port);
        return true;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        out = fromV6(v6, port);
        return true;
    }
    return false;
}

}  // namespace

std::uint16_t Endpoint::port() const {
    return storage.ss_family == AF_INET6 ? ntohs(asV6(*this).sin6_port) : 0;
}

Endpoint endpointFromSockaddr(const sockaddr* address, std::size_t length) {
    Endpoint out;
    if (address == nullptr || length > sizeof out.storage) return out;
    auto& v6 = *reinterpret_cast<sockaddr_in6*>(&out.storage);
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        std::memcpy(&v6, address, sizeof v6);
    } else if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto& v4 = *reinterpret_cast<const sockaddr_in*>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = v4.sin_port;
        v6.sin6_addr.s6_addr[10] = 0xFF;
        v6.sin6_addr.s6_addr[11] = 0xFF;
        std::memcpy(&v6.sin6_addr.s6_addr[12], &v4.sin_addr, 4);
    } else {
        return out;
    }
    out.length = sizeof(sockaddr_in6);
    return out;
}

std::string toString(const Endpoint& endpoint) {
    if (!endpoint.valid() || endpoint.storage.ss_family != AF_INET6) return "(none)";
    const sockaddr_in6& v6 = asV6(endpoint);
    char text[INET6_ADDRSTRLEN] = {};
    const std::string port = std::to_string(ntohs(v6.sin6_port));
    if (isV4Mapped(v6.sin6_addr)) {
        ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        return std::string(text) + ":" + port;
    }
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + port;
}

bool operator==(const Endpoint& a, const Endpoint& b) {
    if (!a.valid() || !b.valid()) return a.valid() == b.valid();
    if (a.storage.ss_family != AF_INET6 || b.storage.ss_family != AF_INET6) return false;
    const sockaddr_in6& x = asV6(a);
    const sockaddr_in6& y = asV6(b);
    if (x.sin6_port != y.sin6_port ||
        std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) != 0) {
        return false;
    }
    return isV4Mapped(x.sin6_addr) || x.sin6_scope_id == y.sin6_scope_id;
}

bool parseEndpoint(std::string_view text, std::uint16_t defaultPort, Endpoint& out) {
    std::string_view host = text;
    std::uint16_t port = defaultPort;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !parsePort(rest.substr(1), port))) {
            return false;
        }
        // Inside brackets only IPv6 belongs.
        in6_addr v6{};
        if (::inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1) return false;
        out = fromV6(v6, port);
        return true;
    }
    const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
    if (colons == 1) {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (!parsePort(text.substr(colon + 1), port)) return false;
    }
    return parseHost(host, port, out);
}

std::vector<Endpoint> resolveEndpoints(std::string_view text, std::uint16_t defaultPort) {
    Endpoint parsed;
    if (parseEndpoint(text, defaultPort, parsed)) return {parsed};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* raw = nullptr;
    const std::string name(text);
    const std::string service = std::to_string(defaultPort);
    if (::getaddrinfo(name.c_str(), service.c_str(), &hints, &raw) != 0) return {};
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(raw, &::freeaddrinfo);
    std::vector<Endpoint> out;
    for (const addrinfo* entry = raw; entry != nullptr; entry = entry->ai_next) {
        const Endpoint endpoint = endpointFromSockaddr(entry->ai_addr, entry->ai_addrlen);
        if (!endpoint.valid()) continue;
        if (std::find(out.begin(), out.end(), endpoint) == out.end()) out.push_back(endpoint);
    }
    return out;
}

}  // namespace vel::stream
