#include "admin/setup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>

#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "firewall/nft_projection.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_requests.h"
#include "support/memory_firewall_store.h"
#include "support/temp_dir.h"

namespace vel::admin {

using firewall::kBuiltInRemoteDesktopRuleName;
using firewall::kGrantGroup;
using firewall::kServiceRuleName;

namespace {

// Plays systemd: the gate's unit is loaded while its file exists, xrdp.service is always there.
class FakeSystemctl : public Systemctl {
  public:
    explicit FakeSystemctl(std::string unitDirectory) : unitDirectory_(std::move(unitDirectory)) {}

    ChildResult run(const std::vector<std::string>& args) override {
        std::string line;
        for (const std::string& arg : args) line += (line.empty() ? "" : " ") + arg;
        calls.push_back(line);
        if (!reachable) {
            return {true, 1, "System has not been booted with systemd as init system (PID 1).\n"};
        }
        const std::string& verb = args[0];
        if (verb == "daemon-reload") return {true, 0, ""};
        const std::string& unit = verb == "show" ? args[1] : args.back();
        const bool loaded =
            unit == "xrdp.service" || FileExists(JoinPath(unitDirectory_, unit));
        if (verb == "show") {
            return {true, 0,
                    std::string("LoadState=") + (loaded ? "loaded" : "not-found") +
                        "\nActiveState=" + (active.contains(unit) ? "active" : "inactive") +
                        "\nMainPID=0\n"};
        }
        if (!loaded) return {true, 5, "Unit " + unit + " not found.\n"};
        if (verb == "start") active.insert(unit);
        if (verb == "stop") active.erase(unit);
        if (verb == "enable") enabled.insert(unit);
        if (verb == "disable") enabled.erase(unit);
        if (verb == "is-enabled") return {true, enabled.contains(unit) ? 0 : 1, ""};
        return {true, 0, ""};
    }

    bool reachable = true;
    std::set<std::string> active;
    std::set<std::string> enabled;
    std::vector<std::string> calls;

  private:
    std::string unitDirectory_;
};

class SetupTest : public ::testing::Test {
  protected:
    SetupTest()
        : systemctl_(units_.path()),
          services_(systemctl_, ServiceControlOptions{units_.path(), 1}),
          env_{JoinPath(root_.path(), "Velmora"),
               "/opt/velmora/velmora",
               "testhost",
               true,
               services_,
               firewall_,
               nft_,
               [this](std::string_view line) { lines_.emplace_back(line); }} {}

    std::string dataFile(const std::string& name) const {
        return JoinPath(env_.dataDirectory, name);
    }
    gate::GateConfig storedConfig() const {
        gate::GateStore store;
        std::string error;
        EXPECT_TRUE(store.load(dataFile("gate.json"), error)) << error;
        return store.config();
    }
    bool printed(const std::string& line) const {
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    std::string output() const {
        std::string text;
        for (const std::string& line : lines_) text += line + "\n";
        return text;
    }
    int runSetup(std::vector<std::string> options) {
        options.insert(options.begin(), {"velmora", "setup"});
        return RunSetup(options, env_);
    }
    const firewall::FirewallRule* rule(const firewall::FirewallPolicy& policy,
                                       const std::string& name) {
        for (const firewall::FirewallRule& candidate : policy.rules) {
            if (candidate.name == name) return &candidate;
        }
        return nullptr;
    }
    void enrollKey() {
        gate::GateStore store;
        std::string error;
        ASSERT_TRUE(EnsureDirectory(env_.dataDirectory));
        ASSERT_TRUE(store.load(dataFile("gate.json"), error)) << error;
        ASSERT_TRUE(store.addCredential(test::PlaceholderCredential(), error)) << error;
    }
    void addRule(const std::string& name, const std::string& grouping, bool enabled) {
        std::string error;
        ASSERT_TRUE(firewall_.update(
            [&](firewall::FirewallPolicy& policy, std::string&) {
                firewall::FirewallRule rule;
                rule.name = name;
                rule.grouping = grouping;
                rule.protocol = firewall::kProtocolTcp;
                rule.localPorts = "3389";
                rule.enabled = enabled;
                policy.rules.push_back(rule);
                return true;
            },
            error));
    }
    static std::map<std::string, std::string> resultFile(const std::string& path) {
        std::string text;
        EXPECT_TRUE(ReadFileText(path, text));
        std::map<std::string, std::string> values;
        std::vector<std::string> order;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            values[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
            order.push_back(line.substr(0, line.find('=')));
            start = end == std::string::npos ? text.size() : end + 1;
        }
        EXPECT_EQ(order, (std::vector<std::string>{"code", "error", "machine", "port", "grant",
                                                   "keys", "thumbprint", "ips"}));
        return values;
    }

    test::TempDir root_;
    test::TempDir units_;
    FakeSystemctl systemctl_;
    ServiceControl services_;
    test::MemoryFirewallStore firewall_;
    test::RecordingNftRunner nft_;
    std::vector<std::string> lines_;
    SetupEnvironment env_;
};

TEST_F(SetupTest, GrantIsClampedAndUserVerificationFollowsTheFlag) {
    gate::GateStore first;
    std::string error;
    ASSERT_TRUE(setupGate(env_, first, true, 5, error)) << error;
    gate::GateConfig config = storedConfig();
    EXPECT_EQ(config.grantSeconds, 15);
    EXPECT_TRUE(config.requireUserVerification);
    ASSERT_EQ(config.certThumbprint.size(), 40u);
    const std::string thumbprint = config.certThumbprint;

    gate::GateStore second;
    ASSERT_TRUE(setupGate(env_, second, false, 3600, error)) << error;
    config = storedConfig();
    EXPECT_EQ(config.grantSeconds, 600);
    EXPECT_FALSE(config.requireUserVerification);
    EXPECT_EQ(config.certThumbprint, thumbprint);  // the certificate is reused

    gate::GateStore third;
    ASSERT_TRUE(setupGate(env_, third, false, 0, error)) << error;
    EXPECT_EQ(storedConfig().grantSeconds, 600);
}

TEST_F(SetupTest, FirstSetupRegistersTheServiceAndLeavesThePortOpenWithoutKeys) {
    const std::string resultPath = root_.file("result.txt");
    ASSERT_EQ(runSetup({"--CODE-FILE", resultPath, "--grant", "120"}), 0) << output();

    EXPECT_TRUE(printed("[1/7] Data directory: " + env_.dataDirectory));
    EXPECT_TRUE(printed("[4/7] Binding the certificate to port 7440"));
    EXPECT_TRUE(printed("      gate port 7440 opened to accept confirmations"));
    EXPECT_TRUE(printed("      the RDP port is NOT closed yet: no keys are enrolled."));
    EXPECT_TRUE(printed("      nftables enforcement is on (table inet velmora)"));
    EXPECT_TRUE(printed("      result written to " + resultPath));
    EXPECT_TRUE(printed(" Setup complete."));
    EXPECT_TRUE(printed("  Access window: 120 sec."));
    EXPECT_TRUE(printed("  KEY ENROLLMENT CODE (valid for 15 minutes):"));
    struct stat info {};
    ASSERT_EQ(::stat(env_.dataDirectory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // Nothing disabled, the gate's own rule present, and the kernel told about it.
    const firewall::FirewallPolicy policy = firewall_.policy();
    const firewall::FirewallRule* rdp = rule(policy, firewall::kBuiltInRemoteDesktopRuleName);
    ASSERT_NE(rdp, nullptr);
    EXPECT_TRUE(rdp->enabled);
    const firewall::FirewallRule* own = rule(policy, firewall::kServiceRuleName);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->localPorts, "7440");
    EXPECT_TRUE(policy.enforcement.enabled);
    ASSERT_FALSE(nft_.scripts.empty());
    EXPECT_EQ(nft_.scripts.back(), firewall::nftProjectionScript(policy));

    std::string unit;
    ASSERT_TRUE(ReadFileText(services_.unitPath(), unit));
    EXPECT_NE(unit.find("ExecStart=\"/opt/velmora/velmora\" --service\n"), std::string::npos);
    EXPECT_EQ(systemctl_.active, (std::set<std::string>{kServiceUnit}));
    EXPECT_EQ(systemctl_.enabled,
              (std::set<std::string>{kServiceUnit, kFirewallUnit, "xrdp.service"}));
    // The boot unit puts the rules into the kernel before any network or xrdp comes up.
    ASSERT_TRUE(ReadFileText(services_.firewallUnitPath(), unit));
    EXPECT_NE(unit.find("ExecStart=\"/opt/velmora/velmora\" --apply-firewall\n"), std::string::npos);
    EXPECT_NE(unit.find("DefaultDependencies=no\n"), std::string::npos);
    EXPECT_NE(unit.find("After=nftables.service\n"), std::string::npos);
    EXPECT_NE(unit.find("Before=network-pre.target xrdp.service velmora.service\n"),
              std::string::npos);
    EXPECT_NE(unit.find("WantedBy=sysinit.target\n"), std::string::npos);

    const gate::GateConfig config = storedConfig();
    auto result = resultFile(resultPath);
    EXPECT_EQ(result["code"].size(), 14u);
    EXPECT_TRUE(printed("        " + result["code"]));
    EXPECT_EQ(result["error"], "");
    EXPECT_EQ(result["machine"], config.machineName);
    EXPECT_EQ(result["port"], "7440");
    EXPECT_EQ(result["grant"], "120");
    EXPECT_EQ(result["keys"], "0");
    EXPECT_EQ(result["thumbprint"], config.certThumbprint);
    gate::GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(dataFile("gate.json"), error));
    EXPECT_TRUE(store.checkEnrollmentCode(result["code"]));
}

TEST_F(SetupTest, WithKeysSetupClosesThePortRepairsTheFirewallAndRearms) {
    enrollKey();
    addRule("Open RDP", "", true);
    addRule("Velmora - allow 203.0.113.5", firewall::kGrantGroup, true);
    std::string error;
    ASSERT_TRUE(firewall_.update(
        [](firewall::FirewallPolicy& policy, std::string&) {
            policy.profile(firewall::FirewallProfile::Public).firewallEnabled = false;
            policy.profile(firewall::FirewallProfile::Private).defaultInboundAction =
                firewall::RuleAction::Allow;
            return true;
        },
        error));
    ASSERT_TRUE(firewall::setDisarmed(env_.dataDirectory, true, error));
    nft_.failure = "nft: Operation not permitted";

    gate::GateStore store;
    ASSERT_TRUE(setupGate(env_, store, false, 0, error)) << error;
    EXPECT_TRUE(printed("      removed the 'disarmed' marker left by an earlier recovery"));
    EXPECT_TRUE(printed("      allow rules disabled: 2")) << output();
    EXPECT_TRUE(printed("      a firewall profile accepts inbound traffic by default - fixing it"));
    EXPECT_TRUE(printed("      the Windows Firewall was off - switched it on"));
    EXPECT_TRUE(
        printed("      WARNING: nftables is not usable here, rules are kept but not enforced:"));
    EXPECT_TRUE(printed("      nft: Operation not permitted"));
    EXPECT_FALSE(firewall::isDisarmed(env_.dataDirectory));

    const firewall::FirewallPolicy policy = firewall_.policy();
    EXPECT_FALSE(rule(policy, firewall::kBuiltInRemoteDesktopRuleName)->enabled);
    EXPECT_FALSE(rule(policy, "Open RDP")->enabled);
    EXPECT_EQ(rule(policy, "Velmora - allow 203.0.113.5"), nullptr);
    for (const firewall::FirewallProfileSettings& profile : policy.profiles) {
        EXPECT_TRUE(profile.firewallEnabled);
        EXPECT_EQ(profile.defaultInboundAction, firewall::RuleAction::Block);
    }
    // The kernel refused the projection, so the store does not claim enforcement.
    EXPECT_FALSE(policy.enforcement.enabled);
    // Without the kernel's part the service still runs: the store keeps the rules.
    EXPECT_TRUE(systemctl_.active.contains(kServiceUnit));
}

TEST_F(SetupTest, AFailedSetupRegistersNothingAndReportsInTheResultFile) {
    const std::string resultPath = root_.file("result.txt");
    env_.elevated = false;
    EXPECT_EQ(runSetup({"--port", "9000", "--code-file", resultPath}), 1);
    EXPECT_EQ(lines_.back(), "ERROR: administrator rights are required");
    EXPECT_FALSE(FileExists(dataFile("gate.json")));  // not even the port was written
    auto result = resultFile(resultPath);
    EXPECT_EQ(result["code"], "");
    EXPECT_EQ(result["error"], "administrator rights are required");
    EXPECT_EQ(result["port"], "7440");

    env_.elevated = true;
    lines_.clear();
    firewall_.failReads("firewall.json is damaged");
    EXPECT_EQ(runSetup({"--port", "9000", "--code-file", resultPath}), 1);
    const std::string error =
        "cannot reach the Windows Firewall: FirewallStore::read failed: firewall.json is damaged";
    EXPECT_EQ(lines_.back(), "ERROR: " + error);
    EXPECT_TRUE(printed("[6/7] Closing the RDP port in the firewall"));
    EXPECT_FALSE(printed("[7/7] Registering the service"));
    EXPECT_FALSE(FileExists(services_.unitPath()));
    EXPECT_TRUE(systemctl_.active.empty());
    result = resultFile(resultPath);
    EXPECT_EQ(result["code"], "");
    EXPECT_EQ(result["error"], error);
    EXPECT_EQ(result["port"], "9000");
    EXPECT_EQ(result["keys"], "0");
    EXPECT_EQ(result["thumbprint"], storedConfig().certThumbprint);
}

TEST_F(SetupTest, UninstallRemovesTheServiceAndTheGateRulesButKeepsThePortClosed) {
    enrollKey();
    std::string error;
    gate::GateStore store;
    ASSERT_TRUE(setupGate(env_, store, false, 0, error)) << error;
    addRule("Velmora - allow 203.0.113.5", firewall::kGrantGroup, true);
    lines_.clear();

    ASSERT_TRUE(uninstallGate(env_, error)) << error;
    EXPECT_EQ(lines_, (std::vector<std::string>{
                          "Stopping and removing the service",
                          "Removing firewall rules created by the gate",
                          "Removing the certificate binding",
                          "",
                          "The RDP port stays closed until the next boot: the allow rules are "
                          "disabled and",
                          "the kernel keeps the table inet velmora. velmora-firewall.service is "
                          "removed, so",
                          "the port reopens at the next boot unless the rules are kept, for "
                          "instance with",
                          "  nft list table inet velmora >> /etc/nftables.conf",
                          "To restore ordinary RDP access now:  Velmora.exe unlock",
                      }));
    EXPECT_FALSE(FileExists(services_.unitPath()));
    EXPECT_FALSE(FileExists(services_.firewallUnitPath()));
    EXPECT_FALSE(systemctl_.enabled.contains(kFirewallUnit));
    EXPECT_TRUE(systemctl_.active.empty());
    EXPECT_FALSE(systemctl_.enabled.contains(kServiceUnit));

    const firewall::FirewallPolicy policy = firewall_.policy();
    EXPECT_EQ(rule(policy, firewall::kServiceRuleName), nullptr);
    EXPECT_EQ(rule(policy, "Velmora - allow 203.0.113.5"), nullptr);
    EXPECT_FALSE(rule(policy, firewall::kBuiltInRemoteDesktopRuleName)->enabled);
    // The kernel goes on enforcing the closed port.
    EXPECT_TRUE(policy.enforcement.enabled);
    EXPECT_EQ(nft_.scripts.back(), firewall::nftProjectionScript(policy));
    // Certificate, configuration and keys stay for a later setup.
    EXPECT_TRUE(FileExists(dataFile("gate.json")));
    EXPECT_TRUE(FileExists(dataFile("tls-cert.pem")));
}

TEST_F(SetupTest, UninstallStopsAtTheServiceStepAndTouchesNothingElse) {
    std::string error;
    env_.elevated = false;
    EXPECT_FALSE(uninstallGate(env_, error));
    EXPECT_EQ(error, "administrator rights are required");
    EXPECT_TRUE(lines_.empty());
    env_.elevated = true;

    EXPECT_EQ(RunUninstall(env_), 1);  // nothing installed
    EXPECT_EQ(lines_.back(), "ERROR: the service is not installed");

    gate::GateStore store;
    ASSERT_TRUE(setupGate(env_, store, false, 0, error)) << error;
    const firewall::FirewallPolicy before = firewall_.policy();
    systemctl_.reachable = false;
    EXPECT_FALSE(uninstallGate(env_, error));
    EXPECT_EQ(error.rfind("systemctl show failed: System has not been booted", 0), 0u) << error;
    EXPECT_TRUE(FileExists(services_.unitPath()));
    EXPECT_EQ(firewall_.policy(), before);
}

}  // namespace
}  // namespace vel::admin
