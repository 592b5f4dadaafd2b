#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "firewall/firewall_store_file.h"
#include "gate/country_filter.h"
#include "gate/gate_store.h"
#include "gate/http_server.h"
#include "gate/session_guard.h"
#include "gate/single_use_tokens.h"
#include "gate/stream_launcher.h"
#include "gate/warning_limiter.h"
#include "os/nft_runner.h"

namespace vel::gate {

// The running gate: the store, the session guard, the stream launcher, the country filter and the
// HTTPS API, started in that order and stopped the other way. The service host and `velmora run` both run it.
class GateService {
  public:
    explicit GateService(std::string dataDirectory);
    ~GateService();

    [[nodiscard]] bool startup(std::string& error);
    void stop();
    // Blocks until requestStop has been called.
    void waitForStop();
    void requestStop();

    // The port the API listens on while serving.
    std::uint16_t port() const { return http_.port(); }

    const std::string& dataDirectory() const { return dataDirectory_; }
    GateStore& store() { return store_; }
    SessionGuard& guard() { return *guard_; }
    StreamLauncher& streams() { return streams_; }
    CountryFilter& countryFilter() { return countryFilter_; }
    SingleUseTokens& updateTokens() { return updateTokens_; }
    // Warnings that clients cause go through this, so that none can flood the log.
    WarningLimiter& warnings() { return warnings_; }

private:
    // Says in the log whether the rule store is projected into the kernel.
    void logEnforcement();
    void projectStoredRules();

    std::string dataDirectory_;
    GateStore store_;
    firewall::FileFirewallStore firewallStore_;
    NftCommand nft_;
    std::unique_ptr<SessionGuard> guard_;
    StreamLauncher streams_;
    CountryFilter countryFilter_;
    SingleUseTokens updateTokens_;
    WarningLimiter warnings_;
    HttpServer http_;

    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::atomic<bool> started_{false};
};

}  // namespace vel::gate
