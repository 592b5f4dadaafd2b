#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "net/ip_address.h"

namespace vel::gate {

// One request as the server received it; read-only for the handler.
struct HttpRequest {
    std::string method;         // see HttpMethodName
    std::string path;           // decoded absolute path, without the query string
    std::optional<net::IpAddress> peer;  // IPv4-mapped peers read as IPv4
    std::string remoteAddress;           // peer printed; empty when unknown
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

// Fills peer and remoteAddress from an AF_INET or AF_INET6 peer address. An unknown
// family leaves them empty.
void SetPeerAddress(HttpRequest& request, const sockaddr* peer);

}  // namespace vel::gate
