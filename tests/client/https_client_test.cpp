// The client's HTTPS exchange against a TLS server of the test's own on loopback. Exchanges with a
// trusted gate are seen end to end by every client command of the integration tests.
#include "client/https_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <csignal>
#include <thread>

#include "admin/tls_certificate.h"
#include "core/openssl_ptr.h"
#include "os/unique_fd.h"
#include "support/temp_dir.h"

namespace vel::client {
namespace {

// Serves one TLS connection and records every byte the client sent.
class OneShotTlsServer {
  public:
    // Serves the certificate and key that the gate's setup wrote into directory.
    explicit OneShotTlsServer(const std::string& directory)
        : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        // Either side may write to a connection the other has closed (TLS 1.3 session tickets);
        // velmora-client ignores SIGPIPE for the same reason.
        std::signal(SIGPIPE, SIG_IGN);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_.get(), 1);
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        context_.reset(SSL_CTX_new(TLS_server_method()));
        SSL_CTX_use_certificate_file(context_.get(), (directory + "/tls-cert.pem").c_str(),
                                     SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context_.get(), (directory + "/tls-key.pem").c_str(),
                                    SSL_FILETYPE_PEM);
        thread_ = std::thread([this] { serve(); });
    }
    ~OneShotTlsServer() { finish(); }

    std::uint16_t port() const { return port_; }
    // Waits for the exchange to end; every byte the client sent in it.
    const std::string& finish() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

  private:
    void serve() {
        const UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        const timeval limit{5, 0};
        ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::unique_ptr<SSL, OpenSslFree<SSL_free>> ssl(SSL_new(context_.get()));
        SSL_set_fd(ssl.get(), connection.get());
        if (SSL_accept(ssl.get()) != 1) return;
        char buffer[4096];
        int n = 0;
        while ((n = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
            if (received_.find("\r\n\r\n") != std::string::npos) break;
        }
        SSL_shutdown(ssl.get());
    }

    UniqueFd listener_;
    std::uint16_t port_ = 0;
    std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>> context_;
    std::string received_;
    std::thread thread_;
};

TEST(HttpsClient, PinsTheCertificateBeforeSendingAnything) {
    test::TempDir dir;
    admin::CertificateInfo identity;
    std::string error;
    ASSERT_TRUE(admin::ensureCertificate(dir.path(), "gate", identity, error)) << error;
    HttpAnswer reply;
    OneShotTlsServer refusing(dir.path());
    PeerCertificate seen;
    EXPECT_FALSE(HttpsPost(
        {"127.0.0.1", refusing.port()}, "/v1/enroll/begin", "{\"code\":\"SECRET-CODE\"}",
        [&](const PeerCertificate& presented, std::string& reason) {
            seen = presented;
            reason = "refused by the test";
            return false;
        },
        reply, error));
    EXPECT_EQ(error, "refused by the test");
    // Not a byte of the request, which carries the enrollment code, reached the refused server.
    EXPECT_EQ(refusing.finish(), "");
    EXPECT_EQ(seen.sha256, identity.fingerprint);
    EXPECT_EQ(seen.sha1, identity.thumbprint);
}

}  // namespace
}  // namespace vel::client
