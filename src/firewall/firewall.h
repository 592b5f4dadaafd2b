#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "firewall/firewall_store.h"
#include "net/ip_address.h"
#include "os/nft_runner.h"

namespace vel::firewall {

// Grouping of every temporary rule the gate creates (grants and stream rules).
inline constexpr const char* kGrantGroup = "Velmora";
inline constexpr const char* kGrantRulePrefix = "Velmora - allow ";
inline constexpr const char* kStreamRulePrefix = "Velmora - stream for ";
// The gate's own listening-port rule.
inline constexpr const char* kServiceGroup = "Velmora (service)";
inline constexpr const char* kServiceRuleName = "Velmora - confirmation channel";
inline constexpr const char* kServiceRuleDescription =
    "Port on which the gate accepts FIDO key confirmations. By itself it grants no desktop "
    "access: without a valid signature the RDP port stays closed.";

// The kernel's table compared with the projection of the store.
enum class KernelState {
    Enforced,   // the table is the projection of the store
    Off,        // enforcement is switched off in the store and the kernel has no table
    Missing,    // enforcement is on and the kernel has no table
    Different,  // the kernel's table is not the projection of the store
};

struct FirewallRuleInfo {
    std::string name;
    std::string remoteAddresses;
    std::string localPorts;
    bool enabled = false;
};

// The only code that reads or changes the firewall policy. Every change is followed by a fresh
// projection into the kernel while enforcement is on, and a projection that fails fails the
// change. Not thread-safe: one thread uses an instance (the firewall worker in the service, the
// main thread in commands).
class Firewall {
  public:
    struct PortRule {
        std::string name;
        std::string grouping;
        std::string localPorts;
        std::string remoteAddresses;
        bool enabled = false;
        bool allow = false;
    };

    // Returns false to stop the walk.
    using RuleCallback = std::function<bool(const FirewallRule& rule)>;

    Firewall(FirewallStore& store, NftRunner& nft);
    Firewall(const Firewall&) = delete;
    Firewall& operator=(const Firewall&) = delete;

    // Every operation below connects first when not yet connected and fails with connect's text.
    [[nodiscard]] bool connect(std::string& error);
    [[nodiscard]] bool forEachRule(const RuleCallback& callback, std::string& error);

    // Disables every enabled inbound allow rule exposing the port, and every enabled inbound
    // allow rule of the Remote Desktop group, except the gate's own groups. Returns the number
    // disabled, -1 on failure.
    int suppressAllowRules(std::uint16_t port, std::string& error,
                           std::vector<std::string>* names = nullptr);
    // Re-enables disabled inbound rules of the Remote Desktop group and disabled inbound allow
    // rules exposing the port, except the gate's own groups.
    [[nodiscard]] bool enableRdpAccess(std::uint16_t port, std::vector<std::string>& restored,
                                       std::string& error);
    std::vector<PortRule> rulesForPort(std::uint16_t port, std::string& error);
    std::vector<FirewallRuleInfo> listGrantRules(std::string& error);
    int removeAllGrantRules(std::string& error);
    [[nodiscard]] bool ensureServicePortRule(std::uint16_t port, bool& created, std::string& error);
    // remoteAddress "*" leaves the rule open to any address. Rules named `replacing` go in the
    // same store write and projection.
    [[nodiscard]] bool addAllowRule(const std::string& name, std::uint16_t port,
                                    const std::string& remoteAddress,
                                    const std::string& description, std::string& error,
                                    int protocol, const std::string& replacing = {});
    [[nodiscard]] bool removeRule(const std::string& name, std::string& error);

    [[nodiscard]] bool defaultInboundAllows(bool& allows, std::string& error);
    [[nodiscard]] bool setDefaultInboundBlock(std::string& error);
    [[nodiscard]] bool isEnabledOnAllProfiles(bool& allOn, std::string& error);
    [[nodiscard]] bool enableOnAllProfiles(bool& changed, std::string& error);

    [[nodiscard]] bool enforcement(EnforcementSettings& settings, std::string& error);
    // Switching enforcement on first applies the projection and keeps the switch only when the
    // kernel accepted it; switching off removes the gate's table.
    [[nodiscard]] bool setEnforcement(const EnforcementSettings& settings, std::string& error);
    // Applies the projection of the current store when enforcement is on (repairs a ruleset
    // someone flushed); does nothing when it is off.
    [[nodiscard]] bool reproject(std::string& error);
    // Stores the ports enforcement covers and projects, when they differ.
    [[nodiscard]] bool syncPorts(std::uint16_t rdpPort, std::uint16_t streamPort,
                                 std::string& error);
    // Reads the kernel's table back and compares it with the projection of the store. The first
    // check after a projection of ours learns what the kernel made of it; callers queue one right
    // after projecting (see SessionGuard), which keeps a second nft run off the request's path.
    [[nodiscard]] bool checkKernel(KernelState& state, std::string& error);
    // Checks the kernel and projects again when its table is missing or different, with one
    // warning per restore (a table left while enforcement is off is removed). found is what the
    // check found; enforced whether the kernel now enforces the store.
    [[nodiscard]] bool enforceKernel(KernelState& found, bool& enforced, std::string& error);
    // Removes the gate's table whatever the store says.
    [[nodiscard]] bool removeKernelTable(std::string& error);

  private:
    // Remembers the mark of a projection just applied; the next check learns its fingerprint.
    void recordProjection(const std::string& mark);

    FirewallStore& store_;
    NftRunner& nft_;
    bool connected_ = false;
    // The mark and fingerprint of the table this instance last projected: a table with that mark
    // and another fingerprint was altered after it was projected. The fingerprint is empty from a
    // projection until the first check reads the table back.
    std::string projectedMark_;
    std::string projectedFingerprint_;
};

// The remote-address value of a grant or stream rule: the address with "/32" or "/128".
std::string hostRemoteAddress(const net::IpAddress& address);

}  // namespace vel::firewall
