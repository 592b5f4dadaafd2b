#include "gate/http_message.h"

#include <netinet/in.h>

#include <algorithm>
#include <array>

namespace vel::gate {

std::string HttpMethodName(std::string_view verb) {
    static constexpr std::array<std::string_view, 11> kOther = {
        "TRACE",     "CONNECT", "TRACK", "MOVE",   "COPY",  "PROPFIND",
        "PROPPATCH", "MKCOL",   "LOCK",  "UNLOCK", "SEARCH"};
    // The six named verbs pass through unchanged, like every unregistered one.
    if (std::find(kOther.begin(), kOther.end(), verb) != kOther.end()) return "OTHER";
    return std::string(verb);
}

void SetPeerAddress(HttpRequest& request, const sockaddr* peer) {
    request.peer.reset();
    request.remoteAddress.clear();
    if (peer == nullptr) return;
    if (peer->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(peer);
        request.peer =
            net::IpAddress::fromV4Bytes(reinterpret_cast<const std::uint8_t*>(&v4->sin_addr));
    } else if (peer->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(peer);
        request.peer = net::IpAddress::fromV6Bytes(v6->sin6_addr.s6_addr);
    } else {
        return;
    }
    request.remoteAddress = net::formatIpAddress(*request.peer);
}

}  // namespace vel::gate
