#include "tls_http_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "os/system_error.h"

namespace vel::bench {

namespace {

// What went wrong in a TLS call that returned result; a peer that just hangs up leaves no
// OpenSSL error behind, only the socket's.
std::string tlsErrorText(const char* step, SSL* ssl, int result) {
    const int systemError = errno;
    const int kind = SSL_get_error(ssl, result);
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        return std::string(step) + ": " + text;
    }
    if (kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && systemError == 0)) {
        return std::string(step) + ": the server closed the connection";
    }
    if (systemError == EAGAIN) return std::string(step) + ": no answer in time";
    return FailedText(step, systemError);
}

}  // namespace

SslCtxPtr NewClientContext() {
    SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
    if (context) SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    return context;
}

bool TlsHttpClient::connect(std::uint16_t port, std::string& error, std::uint32_t sourceV4) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) {
        error = FailedText("socket", errno);
        return false;
    }
    const timeval limit{timeoutSeconds_, 0};
    const int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (sourceV4 != 0) {
        address.sin_addr.s_addr = htonl(sourceV4);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error = FailedText("bind", errno);
            return false;
        }
    }
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = FailedText("connect", errno);
        return false;
    }
    ssl_.reset(SSL_new(context_));
    if (!ssl_ || SSL_set_fd(ssl_.get(), fd_.get()) != 1) {
        error = "SSL_new failed";
        return false;
    }
    errno = 0;
    const int result = SSL_connect(ssl_.get());
    if (result != 1) {
        error = tlsErrorText("TLS handshake", ssl_.get(), result);
        return false;
    }
    received_.clear();
    return true;
}

bool TlsHttpClient::readMore(std::string& error) {
    char buffer[16384];
    errno = 0;
    const int n = SSL_read(ssl_.get(), buffer, sizeof buffer);
    if (n <= 0) {
        error = tlsErrorText("read", ssl_.get(), n);
        return false;
    }
    received_.append(buffer, static_cast<size_t>(n));
    return true;
}

bool TlsHttpClient::post(const std::string& path, const std::string& body, HttpAnswer& answer,
                         std::string& error) {
    const std::string request = "POST " + path +
                                " HTTP/1.1\r\nHost: gate.velmora.net\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    errno = 0;
    const int written = SSL_write(ssl_.get(), request.data(), static_cast<int>(request.size()));
    if (written <= 0) {
        error = tlsErrorText("write", ssl_.get(), written);
        return false;
    }
    size_t headerEnd;
    while ((headerEnd = received_.find("\r\n\r\n")) == std::string::npos) {
        if (!readMore(error)) return false;
    }
    std::string head = received_.substr(0, headerEnd);
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    answer.status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
    const size_t lengthAt = head.find("\r\ncontent-length:");
    if (lengthAt == std::string::npos) {
        error = "answer without Content-Length";
        return false;
    }
    const size_t length = std::strtoul(head.c_str() + lengthAt + 17, nullptr, 10);
    const size_t bodyStart = headerEnd + 4;
    while (received_.size() < bodyStart + length) {
        if (!readMore(error)) return false;
    }
    answer.body = received_.substr(bodyStart, length);
    received_.erase(0, bodyStart + length);
    return true;
}

bool TlsHttpClient::send(const std::string& bytes, std::string& error) {
    errno = 0;
    const int written = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size()));
    if (written <= 0) {
        error = tlsErrorText("write", ssl_.get(), written);
        return false;
    }
    return true;
}

bool TlsHttpClient::stillOpen() const {
    // Only a closed or failed socket counts; late TLS records such as session tickets do not.
    pollfd p{fd_.get(), POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
}

}  // namespace vel::bench
