#include "gate/session_guard.h"

#include <algorithm>
#include <utility>

#include "core/crypto.h"
#include "core/encoding.h"
#include "firewall/disarmed_marker.h"
#include "os/log.h"
#include "os/paths.h"

namespace vel::gate {

using firewall::Firewall;
using firewall::FirewallStore;
using firewall::FirewallWorker;
using firewall::FirewallWorkerOptions;

namespace {

// An expired grant with a live session is looked at again after this many seconds.
constexpr std::int64_t kSessionRecheckSeconds = 5;
// A live session keeps its grant at most this long after it was granted.
constexpr std::int64_t kMaxGrantLifetimeSeconds = 86'400;
constexpr std::int64_t kExposureCacheSeconds = 5;

// Eight hex digits keep the names of successive rules for one address apart.
std::string ruleSuffix() {
    return "[" + HexEncode(RandomBytes(4)) + "]";
}

// The remote address a rule for this client is limited to ("*" when grants are not bound).
std::string remoteAddressFor(const GuardPolicy& policy, const net::IpAddress& address) {
    return policy.bindGrantToSourceIp ? firewall::hostRemoteAddress(address) : "*";
}

FirewallWorkerOptions workerOptions(const SessionGuardOptions& options) {
    FirewallWorkerOptions worker = options.worker;
    worker.clock = options.clock;
    return worker;
}

}  // namespace

SessionGuard::SessionGuard(const GuardPolicySource& policy, FirewallStore& firewallStore,
                           NftRunner& nft, std::string dataDirectory, SessionGuardOptions options)
    : policy_(policy),
      nft_(nft),
      dataDirectory_(std::move(dataDirectory)),
      options_(std::move(options)),
      worker_(firewallStore, nft,
              FirewallWorker::Hooks{
                  [this](Firewall& firewall) { maintain(firewall); },
                  [this](Firewall& firewall) { finish(firewall); },
              },
              workerOptions(options_)) {}

SessionGuard::~SessionGuard() {
    stop();
}

std::string SessionGuard::markerPath() const {
    return firewall::disarmedMarkerPath(dataDirectory_);
}

bool SessionGuard::start(std::string& error) {
    if (!worker_.start()) return true;
    const GuardPolicy config = policy_.guardPolicy();
    std::string runError;
    const bool ran = worker_.runOnFirewallThread(
        [this, config](Firewall& firewall) {
            syncPortsAndProject(firewall);
            std::string ignored;
            static_cast<void>(firewall.removeAllGrantRules(ignored));
            bool created = false;
            std::string portError;
            if (!firewall.ensureServicePortRule(config.listenPort, created, portError)) {
                Log(LogLevel::Error, "cannot open the gate's own port %u: %s",
                    static_cast<unsigned>(config.listenPort), portError.c_str());
            }
            int closed = 0;
            if (FileExists(markerPath())) {
                Log(LogLevel::Warn,
                    "'disarmed' file found: the gate will not touch the firewall. Delete %s and "
                    "restart the service to restore protection.",
                    markerPath().c_str());
            } else if (policy_.keysEnrolled()) {
                repairFirewall(firewall);
                closed = firewall.suppressAllowRules(config.rdpPort, ignored);
                armed_ = true;
            } else {
                Log(LogLevel::Warn,
                    "no keys are enrolled yet: the RDP port is NOT being closed for now. "
                    "Protection switches on automatically as soon as the first key is enrolled.");
            }
            bool defaultAllows = false;
            bool allOn = true;
            static_cast<void>(firewall.defaultInboundAllows(defaultAllows, ignored));
            static_cast<void>(firewall.isEnabledOnAllProfiles(allOn, ignored));
            std::lock_guard lock(stateMutex_);
            rulesClosed_ = static_cast<std::uint32_t>(std::max(closed, 0));
            firewallReady_ = true;
            defaultInboundAllows_ = defaultAllows;
            firewallEnabled_ = allOn;
        },
        runError);
    if (!ran) {
        error = runError.empty() ? "cannot reach the Windows Firewall service" : runError;
        worker_.stop();
        return false;
    }
    watch_ = nft_.watch([this] { kernelChanged(); });
    watching_ = watch_ != nullptr;
    std::lock_guard lock(stateMutex_);
    if (defaultInboundAllows_) {
        Log(LogLevel::Error,
            "a firewall profile accepts unsolicited inbound traffic by default; RDP would stay "
            "reachable without FIDO. Run 'Velmora.exe harden' to fix this.");
    }
    if (!firewallEnabled_) {
        Log(LogLevel::Error,
            "the Windows Firewall is switched off for at least one profile; the gate cannot keep "
            "the RDP port closed until it is switched back on.");
    }
    return true;
}

void SessionGuard::stop() {
    watching_ = false;
    watch_.reset();
    worker_.stop();
}

void SessionGuard::projected() {
    if (!watching_) kernelChanged();
}

void SessionGuard::kernelChanged() {
    if (kernelCheckQueued_.exchange(true)) return;
    worker_.postToFirewallThread([this](Firewall& firewall) {
        kernelCheckQueued_ = false;
        enforceKernel(firewall);
    });
}

bool SessionGuard::grant(const net::IpAddress& peer, const std::string& keyName,
                         std::int64_t& expiresAt, std::string& error) {
    const GuardPolicy config = policy_.guardPolicy();
    const std::string address = net::formatIpAddress(peer);
    const std::string remote = remoteAddressFor(config, peer);
    const std::string name = "Velmora - allow " + address + " " + ruleSuffix();
    const std::int64_t now = options_.clock->unixNow();
    const std::int64_t expiry = now + config.grantSeconds;
    std::string previous;
    {
        std::lock_guard lock(stateMutex_);
        if (const auto it = grants_.find(address); it != grants_.end()) {
            previous = it->second.ruleName;
        }
    }
    const std::string description = "Temporary RDP access for " + address +
                                    ", authorised by FIDO key '" + keyName + "'. Expires " +
                                    FormatLocalTime(expiry) + ".";
    struct Outcome {
        bool added = false;
        std::string error;
    };
    const auto outcome = std::make_shared<Outcome>();
    const Grant entry{address, name, keyName, now, expiry, false, peer};
    const bool ran = worker_.runOnFirewallThread(
        [this, outcome, entry, previous, remote, description,
         port = config.rdpPort](Firewall& firewall) {
            // A renewed grant replaces its rule in one store write and one projection.
            if (!firewall.addAllowRule(entry.ruleName, port, remote, description, outcome->error,
                                       firewall::kProtocolTcp, previous)) {
                return;
            }
            outcome->added = true;
            projected();
            std::lock_guard lock(stateMutex_);
            grants_[entry.address] = entry;
        },
        error);
    if (!ran) return false;
    if (!outcome->added) {
        error =
            outcome->error.empty() ? "the firewall rejected the temporary rule" : outcome->error;
        return false;
    }
    expiresAt = expiry;
    Log(LogLevel::Info, "granted RDP access to %s for %ds via key '%s'", address.c_str(),
        static_cast<int>(config.grantSeconds), keyName.c_str());
    return true;
}

bool SessionGuard::revoke(const std::string& address) {
    std::string ruleName;
    {
        std::lock_guard lock(stateMutex_);
        const auto it = grants_.find(address);
        if (it == grants_.end()) return false;
        ruleName = it->second.ruleName;
        grants_.erase(it);
    }
    worker_.postToFirewallThread([this, ruleName](Firewall& firewall) {
        std::string ignored;
        if (firewall.removeRule(ruleName, ignored)) projected();
    });
    Log(LogLevel::Info, "grant for %s revoked on request", address.c_str());
    return true;
}

bool SessionGuard::addStreamRule(const net::IpAddress& peer, std::uint16_t udpPort,
                                 const std::string& keyName, std::string& ruleName,
                                 std::string& error) {
    const std::string address = net::formatIpAddress(peer);
    // Only the viewer holds the session keys, so nobody else has any business on the port.
    const std::string remote = firewall::hostRemoteAddress(peer);
    const std::string name = "Velmora - stream for " + address + " " + ruleSuffix();
    const std::string description = "Velstream (UDP " + std::to_string(udpPort) + ") for " +
                                    address + ", authorised by FIDO key '" + keyName +
                                    "'. Removed when the session ends.";
    struct Outcome {
        bool added = false;
        std::string error;
    };
    const auto outcome = std::make_shared<Outcome>();
    const bool ran = worker_.runOnFirewallThread(
        [this, outcome, name, udpPort, remote, description](Firewall& firewall) {
            outcome->added = firewall.addAllowRule(name, udpPort, remote, description,
                                                   outcome->error, firewall::kProtocolUdp);
            if (outcome->added) projected();
        },
        error);
    if (!ran) return false;
    if (!outcome->added) {
        error = outcome->error.empty() ? "the firewall rejected the stream rule" : outcome->error;
        return false;
    }
    ruleName = name;
    Log(LogLevel::Info, "opened UDP %u for %s (stream) via key '%s'",
        static_cast<unsigned>(udpPort), address.c_str(), keyName.c_str());
    return true;
}

void SessionGuard::removeStreamRule(const std::string& ruleName) {
    worker_.postToFirewallThread(
        [this, ruleName](Firewall& firewall) { removeStreamRuleNow(firewall, ruleName); });
}

void SessionGuard::removeStreamRuleNow(Firewall& firewall, const std::string& ruleName) {
    std::string error;
    if (firewall.removeRule(ruleName, error)) {
        if (unremovedStreamRules_.erase(ruleName) > 0)
            Log(LogLevel::Info, "stream rule '%s' removed", ruleName.c_str());
        projected();
        return;
    }
    // The viewer's address may still reach the port: every maintenance pass tries again.
    if (unremovedStreamRules_.insert(ruleName).second) {
        Log(LogLevel::Warn, "could not remove stream rule '%s': %s; retrying", ruleName.c_str(),
            error.c_str());
    }
}

void SessionGuard::armProtection() {
    const std::uint16_t port = policy_.guardPolicy().rdpPort;
    // When the worker cannot take this now, the next maintenance pass arms protection instead.
    std::string error;
    static_cast<void>(worker_.runOnFirewallThread(
        [this, port](Firewall& firewall) {
            std::string ignored;
            const int closed = firewall.suppressAllowRules(port, ignored);
            armed_ = true;
            Log(LogLevel::Info, "protection armed: allow rules closed for port %u: %d",
                static_cast<unsigned>(port), std::max(closed, 0));
            if (closed > 0) {
                std::lock_guard lock(stateMutex_);
                rulesClosed_ += static_cast<std::uint32_t>(closed);
            }
        },
        error));
}

ExposureReport SessionGuard::exposure(const std::string& clientAddress) {
    ExposureReport report;
    const std::int64_t now = options_.clock->unixNow();
    bool cached = false;
    {
        std::lock_guard lock(stateMutex_);
        if (exposureMeasuredAt_ && now - *exposureMeasuredAt_ < kExposureCacheSeconds) {
            report = cachedExposure_;
            cached = true;
        }
    }
    if (!cached) {
        const auto measured = std::make_shared<ExposureReport>();
        std::string error;
        const bool ran = worker_.runOnFirewallThread(
            [measured, port = policy_.guardPolicy().rdpPort](Firewall& firewall) {
                std::string ignored;
                static_cast<void>(
                    firewall.isEnabledOnAllProfiles(measured->firewallEnabled, ignored));
                static_cast<void>(
                    firewall.defaultInboundAllows(measured->defaultInboundAllows, ignored));
                for (const Firewall::PortRule& rule : firewall.rulesForPort(port, ignored)) {
                    if (rule.enabled && rule.allow && rule.grouping != firewall::kGrantGroup) {
                        ++measured->foreignAllowRules;
                    }
                }
                measured->exposureMeasured = true;
            },
            error);
        if (ran) {
            report = *measured;
        } else {
            Log(LogLevel::Warn, "exposure check could not ask the firewall: %s", error.c_str());
        }
        std::lock_guard lock(stateMutex_);
        cachedExposure_ = report;
        exposureMeasuredAt_ = now;
    }
    report.protectionArmed = armed_;
    report.kernelEnforced = kernelEnforced_;
    std::lock_guard lock(stateMutex_);
    report.otherGrants = static_cast<std::uint32_t>(
        std::count_if(grants_.begin(), grants_.end(),
                      [&](const auto& item) { return item.first != clientAddress; }));
    return report;
}

GuardStatus SessionGuard::status() {
    std::lock_guard lock(stateMutex_);
    GuardStatus status{firewallReady_, firewallEnabled_, defaultInboundAllows_, rulesClosed_, {}};
    for (const auto& item : grants_) status.grants.push_back(item.second);
    return status;
}

Bytes SessionGuard::issueChallenge(const std::string& address, const std::string& kind) {
    std::lock_guard lock(stateMutex_);
    return challenges_.issue(address, kind, options_.clock->unixNow());
}

bool SessionGuard::consumeChallenge(const Bytes& challenge, const std::string& address,
                                    const std::string& kind) {
    std::lock_guard lock(stateMutex_);
    return challenges_.consume(challenge, address, kind, options_.clock->unixNow());
}

bool SessionGuard::rateLimitAllows(const std::string& address) {
    std::lock_guard lock(stateMutex_);
    return rates_.allows(address, options_.clock->unixNow());
}

void SessionGuard::recordFailure(const std::string& address) {
    std::lock_guard lock(stateMutex_);
    rates_.recordFailure(address, options_.clock->unixNow());
}

void SessionGuard::recordSuccess(const std::string& address) {
    std::lock_guard lock(stateMutex_);
    rates_.recordSuccess(address);
}

void SessionGuard::maintain(Firewall& firewall) {
    const GuardPolicy config = policy_.guardPolicy();
    const std::int64_t now = options_.clock->unixNow();
    for (const std::string& name : std::set(unremovedStreamRules_))
        removeStreamRuleNow(firewall, name);
    {
        // Held across the expiry pass so that no grant changes while its rule is being removed.
        std::lock_guard lock(stateMutex_);
        expireGrants(firewall, config.rdpPort, now);
        challenges_.dropExpired(now);
        rates_.dropFinished(now);
        if (now - lastFullMaintenance_ < options_.fullMaintenanceSeconds) return;
        lastFullMaintenance_ = now;
    }
    std::string error;
    bool created = false;
    if (firewall.ensureServicePortRule(config.listenPort, created, error) && created) {
        Log(LogLevel::Warn, "the gate's own port rule had been removed; it was restored");
    }
    if (FileExists(markerPath())) {
        std::lock_guard lock(stateMutex_);
        if (!disarmedLogged_) {
            Log(LogLevel::Warn,
                "gate disarmed by the 'disarmed' file - leaving firewall rules alone");
            disarmedLogged_ = true;
        }
        return;
    }
    {
        std::lock_guard lock(stateMutex_);
        disarmedLogged_ = false;
    }
    if (policy_.keysEnrolled()) {
        repairFirewall(firewall);
        const int closed = firewall.suppressAllowRules(config.rdpPort, error);
        if (closed > 0) {
            Log(LogLevel::Warn, "re-closed %d allow rule(s) that had reappeared for port %u",
                closed, static_cast<unsigned>(config.rdpPort));
            std::lock_guard lock(stateMutex_);
            rulesClosed_ += static_cast<std::uint32_t>(closed);
        }
        armed_ = true;
    }
    // Changes re-project by themselves; this follows gate.json's ports and repairs a kernel
    // table someone flushed or changed, should its change notification have been missed.
    std::string portError;
    if (!firewall.syncPorts(config.rdpPort, config.streamPort, portError)) {
        recordKernel(false, portError);
        return;
    }
    enforceKernel(firewall);
}

void SessionGuard::syncPortsAndProject(Firewall& firewall) {
    const GuardPolicy config = policy_.guardPolicy();
    std::string error;
    if (!firewall.syncPorts(config.rdpPort, config.streamPort, error) ||
        !firewall.reproject(error)) {
        recordKernel(false, error);
        return;
    }
    enforceKernel(firewall);
}

void SessionGuard::enforceKernel(Firewall& firewall) {
    std::string error;
    firewall::KernelState found = firewall::KernelState::Missing;
    bool enforced = false;
    if (!firewall.enforceKernel(found, enforced, error)) {
        recordKernel(false, error);
        return;
    }
    recordKernel(enforced, {});
}

void SessionGuard::recordKernel(bool enforced, const std::string& error) {
    kernelEnforced_ = enforced;
    std::lock_guard lock(stateMutex_);
    if (enforced || error.empty()) {
        projectionFailedLogged_ = false;
    } else if (!projectionFailedLogged_) {
        projectionFailedLogged_ = true;
        Log(LogLevel::Error, "the firewall rules could not be enforced: %s", error.c_str());
    }
}

void SessionGuard::expireGrants(Firewall& firewall, std::uint16_t rdpPort, std::int64_t now) {
    for (auto it = grants_.begin(); it != grants_.end();) {
        Grant& grant = it->second;
        if (grant.expiresAt > now) {
            ++it;
            continue;
        }
        const bool live = HasEstablishedConnection(options_.tcpTable->rows(), grant.peer, rdpPort);
        if (live && grant.grantedAt + kMaxGrantLifetimeSeconds > now) {
            if (!grant.sessionSeen) {
                grant.sessionSeen = true;
                Log(LogLevel::Info, "session with %s is active - keeping the rule until it ends",
                    grant.address.c_str());
            }
            grant.expiresAt = now + kSessionRecheckSeconds;
            ++it;
            continue;
        }
        if (live) {
            Log(LogLevel::Warn, "session with %s has lasted over a day; removing the rule anyway",
                grant.address.c_str());
        } else if (grant.sessionSeen) {
            Log(LogLevel::Info, "session with %s ended - closing the port", grant.address.c_str());
        }
        std::string error;
        if (!firewall.removeRule(grant.ruleName, error)) {
            // The kernel may still let the address in: the grant stays until the rule is gone.
            if (!grant.closeFailed) {
                grant.closeFailed = true;
                Log(LogLevel::Warn, "could not remove expired rule '%s': %s; retrying",
                    grant.ruleName.c_str(), error.c_str());
            }
            ++it;
            continue;
        }
        Log(LogLevel::Info, "grant for %s expired; RDP port closed again", grant.address.c_str());
        projected();
        it = grants_.erase(it);
    }
}

void SessionGuard::repairFirewall(Firewall& firewall) {
    std::string error;
    bool wasOff = false;
    if (firewall.enableOnAllProfiles(wasOff, error)) {
        {
            std::lock_guard lock(stateMutex_);
            firewallOffLogged_ = false;
        }
        if (wasOff) {
            Log(LogLevel::Warn,
                "the Windows Firewall was off - switched it back on: otherwise the RDP port would "
                "sit open without FIDO");
        }
    } else {
        std::lock_guard lock(stateMutex_);
        if (!firewallOffLogged_) {
            firewallOffLogged_ = true;
            Log(LogLevel::Error,
                "the firewall is off and could not be switched back on (%s) - the RDP port is "
                "reachable WITHOUT key confirmation",
                error.c_str());
        }
    }
    bool defaultAllows = false;
    static_cast<void>(firewall.defaultInboundAllows(defaultAllows, error));
    if (defaultAllows && firewall.setDefaultInboundBlock(error)) {
        Log(LogLevel::Warn, "inbound traffic was allowed by default - block restored");
        defaultAllows = false;
    }
    bool allOn = true;
    static_cast<void>(firewall.isEnabledOnAllProfiles(allOn, error));
    std::lock_guard lock(stateMutex_);
    firewallEnabled_ = allOn;
    defaultInboundAllows_ = defaultAllows;
}

void SessionGuard::finish(Firewall& firewall) {
    std::string ignored;
    firewall.removeAllGrantRules(ignored);
    std::lock_guard lock(stateMutex_);
    grants_.clear();
}

}  // namespace vel::gate
