#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tls_http_client.h"

namespace vel::bench {

// One way of holding the gate's connections: how many to keep open from which address, and what
// each sends after its handshake before it falls silent.
struct AttackKind {
    std::string name;
    std::uint32_t source = 0;  // IPv4, host order
    int target = 0;
    std::string head;          // perhaps empty, perhaps a request cut short
    std::size_t bodyBytes = 0;  // sent after the head
};

// Connections an attacker keeps open against the gate on 127.0.0.1 while a benchmark measures:
// every kind is topped up to its target once a second, as the gate closes or refuses them, until
// stop. Attempts within a round are bounded by the target.
class AttackCrowd {
  public:
    AttackCrowd(SSL_CTX* context, std::uint16_t port, std::vector<AttackKind> kinds);
    ~AttackCrowd();
    AttackCrowd(const AttackCrowd&) = delete;
    AttackCrowd& operator=(const AttackCrowd&) = delete;

    // Returns after the first round, so that the crowd is in place when measuring begins.
    void start();
    void stop();
    // Per kind: the most held at once, connections made and attempts the gate refused.
    std::string summary() const;

  private:
    struct Tally {
        int mostHeld = 0;
        long made = 0;
        long refused = 0;
    };
    void topUp(std::size_t kind, std::vector<TlsHttpClient>& held);
    void run(std::vector<std::vector<TlsHttpClient>>& held);

    SSL_CTX* context_;
    const std::uint16_t port_;
    const std::vector<AttackKind> kinds_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<Tally> tallies_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace vel::bench
