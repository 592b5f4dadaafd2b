#include "gate/http_message.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace vel {

std::string HttpMethodName(std::string_view verb) {
    static constexpr std::array<std::string_view, 11> kOther = {
        "TRACE",     "CONNECT", "TRACK", "MOVE",   "COPY",  "PROPFIND",
        "PROPPATCH", "MKCOL",   "LOCK",  "UNLOCK", "SEARCH"};
    // The six named verbs pass through unchanged, like every unregistered one.
    if (std::find(kOther.begin(), kOther.end(), verb) != kOther.end()) return "OTHER";
    return std::string(verb);
}

void SetPeerAddress(HttpRequest& request, const sockaddr* peer) {
    request.remoteAddress.clear();
    request.isLoopback = false;
    request.isIPv6 = false;
    if (peer == nullptr) return;

    in_addr v4{};
    if (peer->sa_family == AF_INET) {
        std::memcpy(&v4, &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr, sizeof v4);
    } else if (peer->sa_family == AF_INET6) {
        in6_addr v6{};
        std::memcpy(&v6, &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr, sizeof v6);
        if (!IN6_IS_ADDR_V4MAPPED(&v6)) {
            char text[INET6_ADDRSTRLEN];
            if (inet_ntop(AF_INET6, &v6, text, sizeof text) == nullptr) return;
            request.remoteAddress = text;
            request.isLoopback = IN6_IS_ADDR_LOOPBACK(&v6);
            request.isIPv6 = true;
            return;
        }
        std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
    } else {
        return;
    }
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &v4, text, sizeof text) == nullptr) return;
    request.remoteAddress = text;
    request.isLoopback = (ntohl(v4.s_addr) >> 24) == 127;
}

}  // namespace vel
