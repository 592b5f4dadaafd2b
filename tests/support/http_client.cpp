#include "support/http_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "core/openssl_ptr.h"
#include "os/unique_fd.h"

namespace vel::test {

namespace {

// A gate that hangs fails the test, not the run.
constexpr int kReplyTimeoutMs = 30000;

using AddressPtr = std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)>;

// A numeric address and port as a socket address; null when the text is no address.
AddressPtr socketAddress(const std::string& text, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        found = nullptr;
    }
    return AddressPtr(found, &::freeaddrinfo);
}

using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;

std::string RequestText(const std::string& method, const std::string& path,
                        const std::string& body) {
    return method + " " + path + " HTTP/1.1\r\nHost: gate\r\nConnection: close\r\n" +
           "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// One context for every connection: making one costs more than a handshake.
SSL_CTX* clientContext() {
    static const SslCtxPtr context = [] {
        SslCtxPtr made(SSL_CTX_new(TLS_client_method()));
        if (made) SSL_CTX_set_verify(made.get(), SSL_VERIFY_NONE, nullptr);
        return made;
    }();
    return context.get();
}

}  // namespace

UniqueFd ConnectTcp(const std::string& host, std::uint16_t port, const std::string& sourceAddress) {
    const AddressPtr target = socketAddress(host, port);
    if (!target) return {};
    UniqueFd fd(::socket(target->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return {};
    const timeval bound{kReplyTimeoutMs / 1000, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    if (!sourceAddress.empty()) {
        const AddressPtr source = socketAddress(sourceAddress, 0);
        if (!source || ::bind(fd.get(), source->ai_addr, source->ai_addrlen) != 0) return {};
    }
    if (::connect(fd.get(), target->ai_addr, target->ai_addrlen) != 0) return {};
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string ReceiveAll(int fd) {
    std::string raw;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        raw.append(buffer, static_cast<size_t>(n));
    return raw;
}

HttpReply ParseHttpReply(const std::string& raw) {
    HttpReply reply;
    const size_t split = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || split == std::string::npos) return reply;
    reply.status = std::atoi(raw.c_str() + 9);
    reply.headers = raw.substr(0, split);
    reply.body = raw.substr(split + 4);
    if (!JsonParse(reply.body, reply.json)) reply.json = JsonValue();
    return reply;
}

HttpReply HttpRequestTo(const std::string& host, std::uint16_t port, const std::string& method,
                        const std::string& path, const std::string& body,
                        const std::string& sourceAddress) {
    const UniqueFd fd = ConnectTcp(host, port, sourceAddress);
    if (!fd) return {};
    // A server may answer and close before taking the whole body; its answer still counts.
    static_cast<void>(SendAll(fd.get(), RequestText(method, path, body)));
    return ParseHttpReply(ReceiveAll(fd.get()));
}

bool TlsConnection::open(const std::string& host, std::uint16_t port, int timeoutSeconds) {
    fd_ = ConnectTcp(host, port);
    if (!fd_) return false;
    const timeval timeout{timeoutSeconds, 0};
    const int one = 1;  // no delayed-ACK pause between the handshake's flights and the request
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    SSL_CTX* context = clientContext();
    if (context == nullptr) return false;
    ssl_.reset(SSL_new(context));
    return ssl_ && SSL_set_fd(ssl_.get(), fd_.get()) == 1 && SSL_connect(ssl_.get()) == 1;
}

bool TlsConnection::send(std::string_view bytes) {
    return !bytes.empty() && ssl_ &&
           SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())) ==
               static_cast<int>(bytes.size());
}

std::string TlsConnection::receiveAll() {
    std::string raw;
    char buffer[8192];
    int n = 0;
    while (ssl_ && (n = SSL_read(ssl_.get(), buffer, sizeof buffer)) > 0)
        raw.append(buffer, static_cast<size_t>(n));
    return raw;
}

HttpReply HttpsRequestTo(const std::string& host, std::uint16_t port, const std::string& method,
                         const std::string& path, const std::string& body) {
    TlsConnection connection;
    if (!connection.open(host, port, kReplyTimeoutMs / 1000)) return {};
    // A gate may answer and close before taking the whole body; its answer is still read.
    static_cast<void>(connection.send(RequestText(method, path, body)));
    return ParseHttpReply(connection.receiveAll());
}

}  // namespace vel::test
