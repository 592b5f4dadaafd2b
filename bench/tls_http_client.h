#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

#include "core/openssl_ptr.h"
#include "os/unique_fd.h"

namespace vel::bench {

using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;

// A TLS client context that accepts the gate's self-signed certificate.
SslCtxPtr NewClientContext();

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// One keep-alive HTTPS connection to a port on 127.0.0.1, blocking, with a limit (ten seconds
// unless told) on every read and write so that a stuck server fails the run instead of hanging it.
class TlsHttpClient {
  public:
    explicit TlsHttpClient(SSL_CTX* context, int timeoutSeconds = 10)
        : context_(context), timeoutSeconds_(timeoutSeconds) {}

    // TCP connection and complete TLS handshake.
    // From sourceV4 (host order) when it is not 0, so that one machine can play several clients.
    bool connect(std::uint16_t port, std::string& error, std::uint32_t sourceV4 = 0);
    // One POST on the open connection; the answer must carry a Content-Length.
    bool post(const std::string& path, const std::string& body, HttpAnswer& answer,
              std::string& error);
    // Bytes as they are, for requests sent in parts or never finished.
    bool send(const std::string& bytes, std::string& error);
    // False once the server has closed the connection.
    bool stillOpen() const;

  private:
    bool readMore(std::string& error);

    SSL_CTX* context_;
    int timeoutSeconds_;
    UniqueFd fd_;
    SslPtr ssl_;
    std::string received_;  // bytes read past the previous answer
};

}  // namespace vel::bench
