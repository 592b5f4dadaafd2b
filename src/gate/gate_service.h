#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "gate/gate_store.h"
#include "gate/http_server.h"
#include "gate/update_tokens.h"
#include "guard/country_filter.h"
#include "guard/firewall_store_file.h"
#include "guard/nft_runner.h"
#include "guard/service_host.h"
#include "guard/session_guard.h"

namespace vel::gate {

// The running gate: the store, the session guard, the country filter and the HTTPS API, started
// in that order and stopped the other way. The service host and `velmora run` both run it.
class GateService : public HostedService {
public:
    explicit GateService(std::string dataDirectory);
    ~GateService() override;

    bool startup(std::string& error) override;
    void stop() override;
    void waitForStop() override;
    void requestStop() override;

    // The port the API listens on while serving.
    std::uint16_t port() const { return http_.port(); }

    const std::string& dataDirectory() const { return dataDirectory_; }
    GateStore& store() { return store_; }
    SessionGuard& guard() { return *guard_; }
    CountryFilter& countryFilter() { return countryFilter_; }
    UpdateTokens& updateTokens() { return updateTokens_; }

private:
    // Says in the log whether the rule store is projected into the kernel.
    void logEnforcement();

    std::string dataDirectory_;
    GateStore store_;
    FileFirewallStore firewallStore_;
    NftCommand nft_;
    std::unique_ptr<SessionGuard> guard_;
    CountryFilter countryFilter_;
    UpdateTokens updateTokens_;
    HttpServer http_;

    std::mutex stopMutex_;
    std::condition_variable stopSignal_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::atomic<bool> started_{false};
};

}  // namespace vel::gate
