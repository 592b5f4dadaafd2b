#include "client/https_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/openssl_ptr.h"
#include "os/system_error.h"
#include "os/unique_fd.h"

namespace vel::client {

namespace {

using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;
struct AddrInfoFree {
    void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

std::string tlsFailure(const char* step, SSL* ssl, int result) {
    const int systemError = errno;
    const int kind = SSL_get_error(ssl, result);
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        return std::string(step) + " failed: " + text;
    }
    if (kind == SSL_ERROR_ZERO_RETURN || (kind == SSL_ERROR_SYSCALL && systemError == 0)) {
        return std::string(step) + " failed: the gate closed the connection";
    }
    if (systemError == EAGAIN || systemError == EWOULDBLOCK) {
        return std::string(step) + " failed: the gate did not answer in time";
    }
    return FailedText(step, systemError);
}

// A non-blocking connect bounded by kConnectTimeoutMs; the socket is left blocking with read and
// write timeouts.
UniqueFd connectTo(const addrinfo& candidate, std::string& error) {
    UniqueFd fd(::socket(candidate.ai_family, candidate.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                         candidate.ai_protocol));
    if (!fd) {
        error = FailedText("socket", errno);
        return {};
    }
    if (::connect(fd.get(), candidate.ai_addr, candidate.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            error = SystemErrorText(errno);
            return {};
        }
        pollfd p{fd.get(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, kConnectTimeoutMs);
        if (ready == 0) {
            error = "no answer within " + std::to_string(kConnectTimeoutMs / 1000) + " seconds";
            return {};
        }
        int socketError = 0;
        socklen_t length = sizeof socketError;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &socketError, &length);
        if (ready < 0 || socketError != 0) {
            error = SystemErrorText(ready < 0 ? errno : socketError);
            return {};
        }
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const timeval limit{kIoTimeoutMs / 1000, 0};
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

UniqueFd connectToGate(const GateAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc =
        ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot find host " + address.host + ": " + ::gai_strerror(rc);
        return {};
    }
    AddrInfoPtr list(found);
    std::string reason;
    for (const addrinfo* candidate = list.get(); candidate != nullptr;
         candidate = candidate->ai_next) {
        UniqueFd fd = connectTo(*candidate, reason);
        if (fd) return fd;
    }
    error = "cannot reach the gate at " + address.text() + ": " + reason;
    return {};
}

PeerCertificate describe(X509* certificate) {
    const int length = i2d_X509(certificate, nullptr);
    Bytes der(length > 0 ? static_cast<std::size_t>(length) : 0);
    unsigned char* cursor = der.data();
    if (length > 0) i2d_X509(certificate, &cursor);
    return {HexEncode(Sha256(der), true), HexEncode(HashBytes("SHA1", der), true)};
}

// Reads until the whole answer is in.
bool readAnswer(SSL* ssl, HttpAnswer& reply, std::string& error) {
    std::string received;
    for (;;) {
        char buffer[16384];
        errno = 0;
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        bool closed = false;
        if (n > 0) {
            received.append(buffer, static_cast<std::size_t>(n));
        } else {
            const int kind = SSL_get_error(ssl, n);
            closed = kind == SSL_ERROR_ZERO_RETURN ||
                     (kind == SSL_ERROR_SYSCALL && errno == 0 && ERR_peek_error() == 0);
            if (!closed) {
                error = tlsFailure("reading the gate's answer", ssl, n);
                return false;
            }
        }
        switch (ParseHttpAnswer(received, closed, reply, error)) {
            case AnswerState::Complete:
                return true;
            case AnswerState::Malformed:
                return false;
            case AnswerState::Incomplete:
                break;
        }
    }
}

}  // namespace

bool HttpsPost(const GateAddress& address, const std::string& path, const std::string& body,
               const CertificateCheck& check, HttpAnswer& reply, std::string& error) {
    SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
    if (!context) {
        error = "SSL_CTX_new failed";
        return false;
    }
    SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
    // The chain cannot be verified against an authority: the certificate is pinned below.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);

    UniqueFd fd = connectToGate(address, error);
    if (!fd) return false;
    SslPtr ssl(SSL_new(context.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1) {
        error = "SSL_new failed";
        return false;
    }
    errno = 0;
    const int handshake = SSL_connect(ssl.get());
    if (handshake != 1) {
        error = tlsFailure("TLS handshake", ssl.get(), handshake) + " (is " + address.text() +
                " a Velmora gate, set up with `velmora setup`?)";
        return false;
    }
    X509Ptr certificate(SSL_get1_peer_certificate(ssl.get()));
    if (!certificate) {
        error = "the gate at " + address.text() + " showed no certificate";
        return false;
    }
    if (!check(describe(certificate.get()), error)) return false;

    const std::string request =
        "POST " + path + " HTTP/1.1\r\nHost: " + address.text() +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    errno = 0;
    const int written = SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
    if (written <= 0 || static_cast<std::size_t>(written) != request.size()) {
        error = tlsFailure("sending the request", ssl.get(), written);
        return false;
    }
    return readAnswer(ssl.get(), reply, error);
}

}  // namespace vel::client
