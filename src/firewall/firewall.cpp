#include "firewall/firewall.h"

#include <cstdio>
#include <optional>

#include "firewall/kernel_table.h"
#include "firewall/nft_projection.h"
#include "firewall/remote_addresses.h"
#include "os/log.h"

namespace vel::firewall {

namespace {

// "<operation> failed: <detail>", cut to the length the rest of the gate expects of such texts.
std::string failedText(const char* operation, const std::string& detail) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "%s failed: %s", operation, detail.c_str());
    return buffer;
}

bool isGateGroup(const std::string& grouping) {
    return grouping == kGrantGroup || grouping == kServiceGroup;
}

// An enabled inbound allow rule for one port on every profile.
FirewallRule inboundAllowRule(const std::string& name, const std::string& description,
                              const char* grouping, int protocol, std::uint16_t port) {
    FirewallRule rule;
    rule.name = name;
    rule.description = description;
    rule.grouping = grouping;
    rule.protocol = protocol;
    rule.localPorts = std::to_string(port);
    rule.direction = RuleDirection::In;
    rule.action = RuleAction::Allow;
    rule.profiles = kAllProfiles;
    rule.enabled = true;
    return rule;
}

}  // namespace

std::string hostRemoteAddress(const net::IpAddress& address) {
    return net::formatIpAddress(address) + (address.isV6 ? "/128" : "/32");
}

Firewall::Firewall(FirewallStore& store, NftRunner& nft) : store_(store), nft_(nft) {}

bool Firewall::connect(std::string& error) {
    if (connected_) return true;
    std::string detail;
    if (!store_.read([](const FirewallPolicy&, std::string&) { return true; }, detail)) {
        error = failedText("FirewallStore::read", detail);
        return false;
    }
    connected_ = true;
    return true;
}

bool Firewall::forEachRule(const RuleCallback& callback, std::string& error) {
    if (!connect(error)) return false;
    std::vector<FirewallRule> rules;
    std::string detail;
    if (!store_.rules(rules, detail)) {
        error = failedText("FirewallStore::rules", detail);
        return false;
    }
    for (const FirewallRule& rule : rules) {
        if (!callback(rule)) break;
    }
    return true;
}

int Firewall::suppressAllowRules(std::uint16_t port, std::string& error,
                                 std::vector<std::string>* names) {
    int count = 0;
    const bool walked = forEachRule(
        [&](const FirewallRule& rule) {
            if (rule.direction != RuleDirection::In || rule.action != RuleAction::Allow ||
                !rule.enabled || isGateGroup(rule.grouping)) {
                return true;
            }
            if (rule.grouping != kRemoteDesktopGroup && !ruleExposesPort(rule, port)) return true;
            std::string ignored;
            if (!store_.setRuleEnabled(rule, false, ignored)) {
                Log(LogLevel::Warn, "could not disable allow rule '%s'", rule.name.c_str());
                return true;
            }
            Log(LogLevel::Info, "disabled inbound allow rule exposing port %u: '%s'", port,
                rule.name.c_str());
            if (names != nullptr) names->push_back(rule.name);
            ++count;
            return true;
        },
        error);
    if (!walked) return -1;
    if (count > 0 && !reproject(error)) return -1;
    return count;
}

bool Firewall::enableRdpAccess(std::uint16_t port, std::vector<std::string>& restored,
                               std::string& error) {
    bool changed = false;
    const bool walked = forEachRule(
        [&](const FirewallRule& rule) {
            if (rule.direction != RuleDirection::In || rule.enabled || isGateGroup(rule.grouping)) {
                return true;
            }
            if (rule.grouping != kRemoteDesktopGroup &&
                (rule.action != RuleAction::Allow || !ruleExposesPort(rule, port))) {
                return true;
            }
            std::string ignored;
            if (!store_.setRuleEnabled(rule, true, ignored)) {
                Log(LogLevel::Warn, "could not restore rule '%s'", rule.name.c_str());
                return true;
            }
            restored.push_back(rule.name);
            changed = true;
            Log(LogLevel::Info, "restored inbound rule '%s'", rule.name.c_str());
            return true;
        },
        error);
    if (!walked) return false;
    return !changed || reproject(error);
}

std::vector<Firewall::PortRule> Firewall::rulesForPort(std::uint16_t port, std::string& error) {
    std::vector<PortRule> result;
    const bool walked = forEachRule(
        [&](const FirewallRule& rule) {
            if (rule.direction == RuleDirection::In && ruleExposesPort(rule, port)) {
                result.push_back({rule.name, rule.grouping, rule.localPorts, rule.remoteAddresses,
                                  rule.enabled, rule.action == RuleAction::Allow});
            }
            return true;
        },
        error);
    if (!walked) result.clear();
    return result;
}

std::vector<FirewallRuleInfo> Firewall::listGrantRules(std::string& error) {
    std::vector<FirewallRuleInfo> result;
    // A failed walk leaves the list empty and says why in error.
    if (!forEachRule(
            [&](const FirewallRule& rule) {
                if (rule.grouping == kGrantGroup) {
                    result.push_back(
                        {rule.name, rule.remoteAddresses, rule.localPorts, rule.enabled});
                }
                return true;
            },
            error)) {
        result.clear();
    }
    return result;
}

int Firewall::removeAllGrantRules(std::string& error) {
    std::vector<std::string> names;
    const bool walked = forEachRule(
        [&](const FirewallRule& rule) {
            if (rule.grouping == kGrantGroup) names.push_back(rule.name);
            return true;
        },
        error);
    if (!walked) return -1;
    int removed = 0;
    for (const std::string& name : names) {
        std::string ignored;
        if (store_.removeRule(name, ignored)) ++removed;
    }
    if (removed > 0) {
        Log(LogLevel::Info, "removed %d stale grant rule(s)", removed);
        if (!reproject(error)) return -1;
    }
    return removed;
}

bool Firewall::ensureServicePortRule(std::uint16_t port, bool& created, std::string& error) {
    created = false;
    std::optional<FirewallRule> found;
    const bool walked = forEachRule(
        [&](const FirewallRule& rule) {
            if (rule.name != kServiceRuleName) return true;
            found = rule;
            return false;
        },
        error);
    if (!walked) return false;
    if (found && found->enabled && found->action == RuleAction::Allow &&
        portListContains(found->localPorts, port)) {
        return true;
    }
    std::string detail;
    if (found) static_cast<void>(store_.removeRule(kServiceRuleName, detail));

    const FirewallRule rule = inboundAllowRule(kServiceRuleName, kServiceRuleDescription,
                                               kServiceGroup, kProtocolTcp, port);
    const bool added = store_.addRule(rule, detail);
    std::string projectError;
    const bool projected = !(added || found) || reproject(projectError);
    if (!added) {
        error = failedText("FirewallStore::addRule(service port)", detail);
        return false;
    }
    if (!projected) {
        error = projectError;
        return false;
    }
    created = true;
    Log(LogLevel::Info, "opened the gate's own port %u in the firewall", port);
    return true;
}

bool Firewall::addAllowRule(const std::string& name, std::uint16_t port,
                            const std::string& remoteAddress, const std::string& description,
                            std::string& error, int protocol, const std::string& replacing) {
    if (!connect(error)) return false;
    FirewallRule rule = inboundAllowRule(name, description, kGrantGroup, protocol, port);
    if (remoteAddress != "*") {
        // An empty text would read as any address; only "*" may say that.
        std::vector<AddressRange> ranges;
        if (remoteAddress.empty() || !parseRemoteAddresses(remoteAddress, ranges)) {
            error = "failed to set the rule's remote address";
            return false;
        }
        rule.remoteAddresses = remoteAddress;
    }
    std::string detail;
    if (replacing.empty() ? !store_.addRule(rule, detail)
                          : !store_.replaceRule(replacing, rule, detail)) {
        error = failedText("FirewallStore::addRule", detail);
        return false;
    }
    if (!reproject(error)) {
        // A rule the kernel never received must not open the port at some later projection.
        std::string ignored;
        if (store_.removeRule(name, ignored)) static_cast<void>(reproject(ignored));
        return false;
    }
    return true;
}

bool Firewall::removeRule(const std::string& name, std::string& error) {
    if (!connect(error)) return false;
    std::string detail;
    if (!store_.removeRule(name, detail)) {
        error = failedText("FirewallStore::removeRule", detail);
        return false;
    }
    return reproject(error);
}

bool Firewall::defaultInboundAllows(bool& allows, std::string& error) {
    if (!connect(error)) return false;
    allows = false;
    for (FirewallProfile profile : kFirewallProfiles) {
        RuleAction action = RuleAction::Block;
        std::string detail;
        if (!store_.defaultInboundAction(profile, action, detail)) {
            error = failedText("FirewallStore::defaultInboundAction", detail);
            return false;
        }
        if (action == RuleAction::Allow) allows = true;
    }
    return true;
}

bool Firewall::setDefaultInboundBlock(std::string& error) {
    if (!connect(error)) return false;
    bool changedAny = false;
    for (FirewallProfile profile : kFirewallProfiles) {
        std::string detail;
        if (!store_.setDefaultInboundAction(profile, RuleAction::Block, detail)) {
            error = failedText("FirewallStore::setDefaultInboundAction", detail);
            std::string ignored;
            if (changedAny) static_cast<void>(reproject(ignored));
            return false;
        }
        changedAny = true;
    }
    Log(LogLevel::Info, "default inbound action set to Block on all profiles");
    return reproject(error);
}

bool Firewall::isEnabledOnAllProfiles(bool& allOn, std::string& error) {
    if (!connect(error)) return false;
    allOn = true;
    for (FirewallProfile profile : kFirewallProfiles) {
        bool on = false;
        std::string detail;
        if (!store_.firewallEnabled(profile, on, detail)) {
            error = failedText("FirewallStore::firewallEnabled", detail);
            return false;
        }
        if (!on) allOn = false;
    }
    return true;
}

bool Firewall::enableOnAllProfiles(bool& changed, std::string& error) {
    changed = false;
    if (!connect(error)) return false;
    for (FirewallProfile profile : kFirewallProfiles) {
        bool on = false;
        std::string detail;
        const char* failed = nullptr;
        if (!store_.firewallEnabled(profile, on, detail)) {
            failed = "FirewallStore::firewallEnabled";
        } else if (!on && !store_.setFirewallEnabled(profile, true, detail)) {
            failed = "FirewallStore::setFirewallEnabled";
        }
        if (failed != nullptr) {
            error = failedText(failed, detail);
            // Profiles already switched on stay on.
            std::string ignored;
            if (changed) static_cast<void>(reproject(ignored));
            return false;
        }
        if (!on) changed = true;
    }
    if (changed) {
        Log(LogLevel::Info, "the Windows Firewall was switched on for every profile");
        return reproject(error);
    }
    return true;
}

bool Firewall::enforcement(EnforcementSettings& settings, std::string& error) {
    if (!connect(error)) return false;
    std::string detail;
    const bool read = store_.read(
        [&](const FirewallPolicy& policy, std::string&) {
            settings = policy.enforcement;
            return true;
        },
        detail);
    if (!read) error = failedText("FirewallStore::read", detail);
    return read;
}

bool Firewall::setEnforcement(const EnforcementSettings& settings, std::string& error) {
    if (!connect(error)) return false;
    std::string nftError;
    std::string detail;
    std::string mark;
    // nft runs under the store's lock, so no other process can project an older policy after it.
    const bool stored = store_.update(
        [&](FirewallPolicy& policy, std::string&) {
            policy.enforcement = settings;
            if (settings.enabled) mark = nftProjectionMark(policy);
            const std::string script =
                settings.enabled ? nftProjectionScript(policy) : nftRemovalScript();
            // Switching on is kept only when the kernel took the projection; off is kept anyway.
            return nft_.apply(script, nftError) || !settings.enabled;
        },
        detail);
    if (!stored && nftError.empty()) {
        error = failedText("FirewallStore::update", detail);
        return false;
    }
    if (!nftError.empty()) {
        error = nftError;
        return false;
    }
    if (settings.enabled) recordProjection(mark);
    return true;
}

bool Firewall::reproject(std::string& error) {
    if (!connect(error)) return false;
    std::string nftError;
    std::string detail;
    std::string mark;
    // The shared lock stays held while nft runs: a writer that changes the store afterwards
    // projects after us, so the kernel always ends with the newest policy.
    const bool read = store_.read(
        [&](const FirewallPolicy& policy, std::string&) {
            if (!policy.enforcement.enabled) return true;
            mark = nftProjectionMark(policy);
            return nft_.apply(nftProjectionScript(policy), nftError);
        },
        detail);
    if (!nftError.empty()) {
        error = nftError;
        return false;
    }
    if (!read) {
        error = failedText("FirewallStore::read", detail);
        return false;
    }
    if (!mark.empty()) recordProjection(mark);
    return true;
}

void Firewall::recordProjection(const std::string& mark) {
    projectedMark_ = mark;
    projectedFingerprint_.clear();
}

bool Firewall::syncPorts(std::uint16_t rdpPort, std::uint16_t streamPort, std::string& error) {
    if (!connect(error)) return false;
    std::string detail;
    bool changed = false;
    const bool stored = store_.update(
        [&](FirewallPolicy& policy, std::string&) {
            EnforcementSettings& settings = policy.enforcement;
            if (settings.rdpPort == rdpPort && settings.streamPort == streamPort) return false;
            settings.rdpPort = rdpPort;
            settings.streamPort = streamPort;
            changed = true;
            return true;
        },
        detail);
    if (changed && !stored) {
        error = failedText("FirewallStore::update", detail);
        return false;
    }
    if (changed) {
        Log(LogLevel::Info, "the firewall now covers RDP port %u and stream ports from %u",
            static_cast<unsigned>(rdpPort), static_cast<unsigned>(streamPort));
    }
    return !changed || reproject(error);
}

bool Firewall::checkKernel(KernelState& state, std::string& error) {
    if (!connect(error)) return false;
    std::string detail;
    bool enabled = false;
    std::string mark;
    if (!store_.read(
            [&](const FirewallPolicy& policy, std::string&) {
                enabled = policy.enforcement.enabled;
                if (enabled) mark = nftProjectionMark(policy);
                return true;
            },
            detail)) {
        error = failedText("FirewallStore::read", detail);
        return false;
    }
    std::string json;
    KernelTableListing listing;
    if (!nft_.listTable("inet", "velmora", json, error) ||
        !readKernelTableListing(json, listing, error)) {
        return false;
    }
    if (!enabled) {
        // A table left behind still drops traffic the store would let through.
        state = listing.present ? KernelState::Different : KernelState::Off;
        return true;
    }
    if (!listing.present) {
        state = KernelState::Missing;
    } else if (listing.mark != mark || (mark == projectedMark_ && !projectedFingerprint_.empty() &&
                                        listing.fingerprint != projectedFingerprint_)) {
        state = KernelState::Different;
    } else {
        if (mark == projectedMark_ && projectedFingerprint_.empty())
            projectedFingerprint_ = listing.fingerprint;
        state = KernelState::Enforced;
    }
    return true;
}

bool Firewall::enforceKernel(KernelState& found, bool& enforced, std::string& error) {
    enforced = false;
    if (!checkKernel(found, error)) return false;
    enforced = found == KernelState::Enforced;
    if (found != KernelState::Missing && found != KernelState::Different) return true;
    EnforcementSettings settings;
    if (!enforcement(settings, error)) return false;
    if (!(settings.enabled ? reproject(error) : removeKernelTable(error))) return false;
    enforced = settings.enabled;
    Log(LogLevel::Warn, "the firewall table inet velmora was %s in the kernel; it was %s",
        found == KernelState::Missing ? "missing" : "altered",
        settings.enabled ? "restored" : "removed, as enforcement is off");
    return true;
}

bool Firewall::removeKernelTable(std::string& error) {
    projectedMark_.clear();
    projectedFingerprint_.clear();
    return nft_.apply(nftRemovalScript(), error);
}

}  // namespace vel::firewall
