#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vel::firewall {

// The firewall policy the gate reads and changes: rules with the properties of a Windows Firewall
// rule, per-profile switches, and whether the policy is enforced in the kernel.

enum class FirewallProfile : std::uint32_t { Domain = 1, Private = 2, Public = 4 };

// Profiles are always visited in this order.
inline constexpr std::array<FirewallProfile, 3> kFirewallProfiles = {
    FirewallProfile::Domain, FirewallProfile::Private, FirewallProfile::Public};

// "domain", "private" or "public".
const char* FirewallProfileName(FirewallProfile profile);

// Profile mask of a rule that applies everywhere.
inline constexpr std::uint32_t kAllProfiles = 0x7FFFFFFF;

enum class RuleDirection { In = 1, Out = 2 };
enum class RuleAction { Block = 0, Allow = 1 };

// IANA protocol numbers, plus 256 for "any protocol".
inline constexpr int kProtocolTcp = 6;
inline constexpr int kProtocolUdp = 17;
inline constexpr int kProtocolAny = 256;

struct FirewallRule {
    std::string name;
    std::string description;
    std::string grouping;
    int protocol = kProtocolAny;
    std::string localPorts = "*";
    std::string remoteAddresses = "*";
    RuleDirection direction = RuleDirection::In;
    RuleAction action = RuleAction::Allow;
    bool enabled = false;
    std::uint32_t profiles = kAllProfiles;
    std::string applicationName;
    std::string serviceName;
    std::string localAppPackageId;
    std::string localUserOwner;

    bool operator==(const FirewallRule&) const = default;
};

struct FirewallProfileSettings {
    bool firewallEnabled = true;
    RuleAction defaultInboundAction = RuleAction::Block;

    bool operator==(const FirewallProfileSettings&) const = default;
};

// Whether the policy is projected into the kernel, and which ports the projection covers: the
// protected TCP port and four UDP ports from streamPort on.
struct EnforcementSettings {
    bool enabled = false;
    std::uint16_t rdpPort = 3389;
    std::uint16_t streamPort = 7441;

    bool operator==(const EnforcementSettings&) const = default;
};

struct FirewallPolicy {
    std::array<FirewallProfileSettings, 3> profiles;  // in kFirewallProfiles order
    EnforcementSettings enforcement;
    std::vector<FirewallRule> rules;

    FirewallProfileSettings& profile(FirewallProfile which);
    const FirewallProfileSettings& profile(FirewallProfile which) const;

    bool operator==(const FirewallPolicy&) const = default;
};

// The operating system's own Remote Desktop rules carry this grouping; a new policy starts with
// the first of them.
inline constexpr const char* kRemoteDesktopGroup = "@FirewallAPI.dll,-28752";
inline constexpr const char* kBuiltInRemoteDesktopRuleName = "Remote Desktop - User Mode (TCP-In)";

// A fresh machine's policy: every profile on and blocking inbound traffic by default, the built-in
// Remote Desktop rule enabled, enforcement off.
FirewallPolicy DefaultFirewallPolicy();

// The rule store. Implementations provide two transactions; every operation below is one of them,
// so each is atomic with respect to every other process and thread using the same store.
class FirewallStore {
  public:
    using PolicyVisit = std::function<bool(const FirewallPolicy& policy, std::string& error)>;
    using PolicyChange = std::function<bool(FirewallPolicy& policy, std::string& error)>;

    virtual ~FirewallStore() = default;

    // Runs visit on a consistent view of the policy; no change can happen until it returns.
    [[nodiscard]] virtual bool read(const PolicyVisit& visit, std::string& error) = 0;
    // Runs change on the current policy and keeps the result when change returns true; when it
    // returns false nothing is kept and its error text is passed on.
    [[nodiscard]] virtual bool update(const PolicyChange& change, std::string& error) = 0;

    [[nodiscard]] bool rules(std::vector<FirewallRule>& out, std::string& error);
    // Rule names need not be unique, as in Windows Firewall.
    [[nodiscard]] bool addRule(const FirewallRule& rule, std::string& error);
    // Removes every rule of that name; a name that is not there is already removed.
    [[nodiscard]] bool removeRule(const std::string& name, std::string& error);
    // Removes every rule named oldName and adds rule, in one transaction.
    [[nodiscard]] bool replaceRule(const std::string& oldName, const FirewallRule& rule,
                                   std::string& error);
    // Changes the first rule equal to `seen`, a rule as read earlier. Fails when no rule is equal
    // any more (it was removed or changed meanwhile).
    [[nodiscard]] bool setRuleEnabled(const FirewallRule& seen, bool enabled, std::string& error);

    [[nodiscard]] bool firewallEnabled(FirewallProfile profile, bool& enabled, std::string& error);
    [[nodiscard]] bool setFirewallEnabled(FirewallProfile profile, bool enabled,
                                          std::string& error);
    [[nodiscard]] bool defaultInboundAction(FirewallProfile profile, RuleAction& action,
                                            std::string& error);
    [[nodiscard]] bool setDefaultInboundAction(FirewallProfile profile, RuleAction action,
                                               std::string& error);
};

// True when a piece of a LocalPorts list ("80, 3389 ,443", "3000-4000") names the port. The empty
// text and "*" do not match here: callers treat them as any port.
bool portListContains(std::string_view localPorts, std::uint16_t port);

// Whether the rule lets traffic to the port through when it applies: its protocol is the given
// one or any, and its local ports name the port, or are any and no program, service, package or
// account narrows the rule. Direction, action and enabled state are not examined.
bool ruleExposesPort(const FirewallRule& rule, std::uint16_t port, int protocol = kProtocolTcp);

}  // namespace vel::firewall
