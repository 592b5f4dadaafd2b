#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/openssl_ptr.h"
#include "os/unique_fd.h"

namespace vel::test {

struct HttpReply {
    int status = 0;  // 0 when no answer arrived
    std::string headers;
    std::string body;
    JsonValue json;  // the body parsed, Null when it is not JSON
};

// The pieces of HttpRequestTo, for tests that speak HTTP by hand: a TCP connection (from
// sourceAddress when one is given, with 30-second send and receive bounds), all a server sends
// until it closes, and the reply parsed.
UniqueFd ConnectTcp(const std::string& host, std::uint16_t port,
                    const std::string& sourceAddress = {});
bool SendAll(int fd, const std::string& data);
std::string ReceiveAll(int fd);
HttpReply ParseHttpReply(const std::string& raw);

// One plain HTTP/1.1 request over a fresh connection, from sourceAddress when one is given (any
// 127.x.y.z address works on loopback, which lets one test act as several clients).
HttpReply HttpRequestTo(const std::string& host, std::uint16_t port, const std::string& method,
                        const std::string& path, const std::string& body,
                        const std::string& sourceAddress = {});

// The same over TLS. The server's certificate is not checked: the gate's own is self-signed, and
// the tests that use this check what the gate does, not who it is.
HttpReply HttpsRequestTo(const std::string& host, std::uint16_t port, const std::string& method,
                         const std::string& path, const std::string& body);

// One TLS connection held by a test the way a client that sends its request in parts, slowly or
// never would hold it. The certificate is not checked; every read and write gives up after
// timeoutSeconds, so a gate that stops reading ends the sending instead of the test.
class TlsConnection {
  public:
    // TCP connection and complete handshake; false when either failed or was refused.
    [[nodiscard]] bool open(const std::string& host, std::uint16_t port, int timeoutSeconds = 2);
    // False once the gate refused the bytes or closed the connection.
    [[nodiscard]] bool send(std::string_view bytes);
    // Everything the gate sends until it closes the connection or the timeout passes.
    std::string receiveAll();

  private:
    UniqueFd fd_;
    std::unique_ptr<SSL, OpenSslFree<SSL_free>> ssl_;
};

inline HttpReply PostJson(std::uint16_t port, const std::string& path, const JsonValue& body,
                          const std::string& sourceAddress = "127.0.0.1") {
    return HttpRequestTo(sourceAddress.find(':') == std::string::npos ? "127.0.0.1" : "::1", port,
                         "POST", path, JsonDump(body), sourceAddress);
}

}  // namespace vel::test
