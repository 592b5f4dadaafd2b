#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gate/connection_table.h"
#include "gate/http_message.h"
#include "gate/tls_pair.h"

namespace vel::gate {

struct HttpServerConfig {
    std::uint16_t port = 0;      // 0 lets the system choose one; port() tells which
    std::optional<TlsPair> tls;  // HTTPS (TLS 1.2 and 1.3) with this pair; plain HTTP without
    // Paths whose bodies may reach kBodyLimit. Any other body is refused above kSmallBodyLimit
    // before it is read.
    std::vector<std::string> largeBodyPaths;
    ConnectionTable::Limits connections;
};

struct HttpServerRun;  // one started server; outlives the server when a handler hangs

// Serves one handler on every address of a port, IPv4 and IPv6, with a fixed pool of event-loop
// threads. A connection only occupies a thread while its handler runs, so idle or slow clients
// never hold one; one client (IPv6: one /64) holds at most 32 connections, a request head must
// arrive within seconds and a body at a minimum rate; a client refused (4xx) more than 200 times
// in one second is shut out for 10 s. A body too large for its path or for the
// shared budget is answered with 413 or 503 before it is read. start and stop are called from one controlling thread, never from the handler.
class HttpServer {
  public:
    static constexpr std::size_t kBodyLimit = 12'582'912;
    static constexpr std::size_t kSmallBodyLimit = 65'536;
    static constexpr unsigned kWorkerCount = 4;
    // Bodies above kSmallBodyLimit share this many bytes (one full body per worker); each
    // connection may also hold one small body of its own.
    static constexpr std::size_t kBodyBudget = kWorkerCount * kBodyLimit;

    HttpServer() = default;
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    ~HttpServer();

    // True when the port is bound and the workers run. Afterwards the handler may be called from
    // all workers at once.
    [[nodiscard]] bool start(const HttpServerConfig& config, HttpHandler handler,
                             std::string& error);

    // Stops the workers and closes every connection. A handler that does not return within
    // about eight seconds is abandoned. Safe to call when not running.
    void stop();

    // The listening port while running, else 0.
    std::uint16_t port() const;

  private:
    std::shared_ptr<HttpServerRun> run_;
};

}  // namespace vel::gate
