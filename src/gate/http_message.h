#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vel {

// One request as the server received it; read-only for the handler.
struct HttpRequest {
    std::string method;         // see HttpMethodName
    std::string path;           // decoded absolute path, without the query string
    std::string remoteAddress;  // printed peer address; IPv4-mapped peers print as IPv4
    bool isLoopback = false;    // 127.0.0.0/8 or ::1
    bool isIPv6 = false;        // a real, not IPv4-mapped, IPv6 peer
    std::string body;           // at most the server's body limit
};

// The answer the handler fills in.
struct HttpResponse {
    std::uint16_t status = 200;
    std::string reason = "OK";
    std::string contentType = "application/json; charset=utf-8";
    std::string body;
};

// Called concurrently from several server threads.
using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

// GET, HEAD, POST, PUT, DELETE and OPTIONS by name; the other standard HTTP and WebDAV verbs
// (TRACE, CONNECT, TRACK, MOVE, COPY, PROPFIND, PROPPATCH, MKCOL, LOCK, UNLOCK, SEARCH) as
// "OTHER"; any other verb as sent.
std::string HttpMethodName(std::string_view verb);

// Fills remoteAddress, isLoopback and isIPv6 from an AF_INET or AF_INET6 peer address. An
// unprintable or unknown address leaves remoteAddress empty and both flags false.
void SetPeerAddress(HttpRequest& request, const sockaddr* peer);

}  // namespace vel
