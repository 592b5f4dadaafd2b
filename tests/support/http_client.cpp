#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/unique_fd.h"

namespace vel::test {

namespace {

bool fillAddress(const std::string& text, std::uint16_t port, sockaddr_storage& storage, socklen_t& length) {
    std::memset(&storage, 0, sizeof storage);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

}  // namespace

HttpReply HttpRequestTo(const std::string& host, std::uint16_t port, const std::string& method,
                        const std::string& path, const std::string& body, const std::string& sourceAddress) {
    HttpReply reply;
    sockaddr_storage target{};
    socklen_t targetLength = 0;
    if (!fillAddress(host, port, target, targetLength)) return reply;
    UniqueFd fd(::socket(target.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return reply;
    if (!sourceAddress.empty()) {
        sockaddr_storage source{};
        socklen_t sourceLength = 0;
        if (!fillAddress(sourceAddress, 0, source, sourceLength) ||
            ::bind(fd.get(), reinterpret_cast<sockaddr*>(&source), sourceLength) != 0) {
            return reply;
        }
    }
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&target), targetLength) != 0) return reply;

    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: gate\r\nConnection: close\r\n" +
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return reply;
        sent += static_cast<size_t>(n);
    }
    std::string raw;
    char buffer[8192];
    for (;;) {
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) break;  // a gate that hangs fails the test, not the run
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0) break;
        raw.append(buffer, static_cast<size_t>(n));
    }
    const size_t split = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || split == std::string::npos) return reply;
    reply.status = std::atoi(raw.c_str() + 9);
    reply.headers = raw.substr(0, split);
    reply.body = raw.substr(split + 4);
    if (!JsonParse(reply.body, reply.json)) reply.json = JsonValue();
    return reply;
}

}  // namespace vel::test
