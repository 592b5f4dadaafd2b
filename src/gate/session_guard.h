#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "firewall/firewall_worker.h"
#include "gate/challenge_table.h"
#include "gate/guard_policy.h"
#include "gate/rate_limiter.h"
#include "gate/session_guard_options.h"
#include "gate/stream_rules.h"
#include "net/ip_address.h"

namespace vel::gate {

// Whether the RDP port is really closed, as reported to clients.
struct ExposureReport {
    bool exposureMeasured = false;
    bool protectionArmed = false;
    bool firewallEnabled = true;
    bool defaultInboundAllows = false;
    // The kernel holds the projection of the rule store, and enforcement is on.
    bool kernelEnforced = false;
    std::uint32_t foreignAllowRules = 0;
    std::uint32_t otherGrants = 0;
};

// One client address's temporary RDP allow rule.
struct Grant {
    std::string address;
    std::string ruleName;
    std::string keyName;
    std::int64_t grantedAt = 0;
    std::int64_t expiresAt = 0;
    bool sessionSeen = false;  // a live RDP connection from the address was seen after expiry
    net::IpAddress peer;       // address, parsed
    bool closeFailed = false;  // removing the expired rule failed; it is retried
};

struct GuardStatus {
    bool firewallReady = false;
    bool firewallEnabled = true;
    bool defaultInboundAllows = false;
    std::uint32_t rulesClosed = 0;
    std::vector<Grant> grants;
};

// The running service's single authority over the firewall and over the short-lived state of
// authentication: grants and their expiry, stream rules, challenges, rate limits and the exposure
// report. Callable from any thread; every firewall call runs on the guard's worker thread.
class SessionGuard : public StreamRules {
  public:
    // The firewall store and nft runner are used only from the guard's worker thread;
    // dataDirectory holds the "disarmed" marker.
    SessionGuard(const GuardPolicySource& policy, firewall::FirewallStore& firewallStore,
                 NftRunner& nft, std::string dataDirectory, SessionGuardOptions options = {});
    ~SessionGuard() override;
    SessionGuard(const SessionGuard&) = delete;
    SessionGuard& operator=(const SessionGuard&) = delete;

    [[nodiscard]] bool start(std::string& error);
    // The worker removes every grant rule on its way out.
    void stop();

    // Opens the RDP port for one address until expiresAt (a second grant replaces the first).
    [[nodiscard]] bool grant(const net::IpAddress& address, const std::string& keyName,
                             std::int64_t& expiresAt, std::string& error);
    bool revoke(const std::string& address);
    // Opens one UDP port for a stream, to the viewer's address alone whatever the grant binding;
    // the caller passes ruleName to removeStreamRule later.
    [[nodiscard]] bool addStreamRule(const net::IpAddress& address, std::uint16_t udpPort,
                                     const std::string& keyName, std::string& ruleName,
                                     std::string& error) override;
    void removeStreamRule(const std::string& ruleName) override;
    // Closes the RDP port's allow rules at once, for the first enrolled key.
    void armProtection();

    ExposureReport exposure(const std::string& clientAddress);
    GuardStatus status();
    // Protection is in force: allow rules for the protected port are kept closed.
    bool isArmed() const { return armed_; }

    Bytes issueChallenge(const std::string& address, const std::string& kind);
    [[nodiscard]] bool consumeChallenge(const Bytes& challenge, const std::string& address,
                                        const std::string& kind);

    [[nodiscard]] bool rateLimitAllows(const std::string& address);
    void recordFailure(const std::string& address);
    void recordSuccess(const std::string& address);

  private:
    std::string markerPath() const;
    void maintain(firewall::Firewall& firewall);
    void expireGrants(firewall::Firewall& firewall, std::uint16_t rdpPort, std::int64_t now);
    // Firewall thread: removes a stream rule, or keeps its name to try again on the next pass.
    void removeStreamRuleNow(firewall::Firewall& firewall, const std::string& ruleName);
    void repairFirewall(firewall::Firewall& firewall);
    // Compares the kernel with the store and restores a missing or altered table.
    void enforceKernel(firewall::Firewall& firewall);
    // Brings gate.json's ports into the store and projects.
    void syncPortsAndProject(firewall::Firewall& firewall);
    void recordKernel(bool enforced, const std::string& error);
    // Queues one kernel check after nftables reported a change.
    void kernelChanged();
    // After a projection of ours, whose fingerprint the next check learns off the path of the
    // request that caused it: the watch reports our own changes too, so a check is queued here
    // only when there is no watch.
    void projected();
    void finish(firewall::Firewall& firewall);

    const GuardPolicySource& policy_;
    NftRunner& nft_;
    const std::string dataDirectory_;
    const SessionGuardOptions options_;

    std::mutex stateMutex_;
    ChallengeTable challenges_;                       // guarded by stateMutex_
    std::map<std::string, Grant> grants_;             // guarded by stateMutex_
    RateLimiter rates_;                               // guarded by stateMutex_
    std::uint32_t rulesClosed_ = 0;                   // guarded by stateMutex_
    ExposureReport cachedExposure_;                   // guarded by stateMutex_
    std::optional<std::int64_t> exposureMeasuredAt_;  // guarded by stateMutex_
    std::int64_t lastFullMaintenance_ = 0;            // guarded by stateMutex_
    bool disarmedLogged_ = false;                     // guarded by stateMutex_
    bool firewallOffLogged_ = false;                  // guarded by stateMutex_
    bool projectionFailedLogged_ = false;             // guarded by stateMutex_
    bool firewallReady_ = false;                      // guarded by stateMutex_
    bool firewallEnabled_ = true;                     // guarded by stateMutex_
    bool defaultInboundAllows_ = false;               // guarded by stateMutex_
    // Stream rules whose removal failed; only the firewall thread touches them.
    std::set<std::string> unremovedStreamRules_;

    // Protection is in force: allow rules for the RDP port are being kept closed.
    std::atomic<bool> armed_{false};
    // The kernel holds the store's projection (as last checked) and enforcement is on.
    std::atomic<bool> kernelEnforced_{false};
    std::atomic<bool> kernelCheckQueued_{false};
    std::atomic<bool> watching_{false};  // watch_ is in place
    std::unique_ptr<NftWatch> watch_;
    // Declared last: its threads call back into the members above until stop joins them.
    firewall::FirewallWorker worker_;
};

}  // namespace vel::gate
