#include "admin/setup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "firewall/disarmed_marker.h"
#include "firewall/firewall.h"
#include "firewall/nft_projection.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/fake_systemctl.h"
#include "support/firewall_rules.h"
#include "support/gate_requests.h"
#include "support/memory_firewall_store.h"
#include "support/temp_dir.h"

namespace vel::admin {

using firewall::kBuiltInRemoteDesktopRuleName;
using firewall::kGrantGroup;
using firewall::kServiceRuleName;

namespace {

class SetupTest : public ::testing::Test {
  protected:
    SetupTest()
        : services_(systemctl_, ServiceControlOptions{units_.path(), 1}),
          env_{JoinPath(root_.path(), "Velmora"),
               "/opt/velmora/velmora",
               "testhost",
               true,
               services_,
               firewall_,
               nft_,
               [this](std::string_view line) { lines_.emplace_back(line); }} {
        systemctl_.unitDirectory = units_.path();
        systemctl_.units["xrdp.service"];
    }
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
    static const firewall::FirewallRule* rule(const firewall::FirewallPolicy& policy,
                                              const std::string& name) {
        return test::FindRule(policy.rules, name);
    }
    void enrollKey() {
        gate::GateStore store;
        std::string error;
        ASSERT_TRUE(EnsureDirectory(env_.dataDirectory));
        ASSERT_TRUE(store.load(dataFile("gate.json"), error)) << error;
        ASSERT_EQ(store.addCredential(test::PlaceholderCredential(), error),
                  gate::AddCredentialResult::Added)
            << error;
    }
    void addRule(const std::string& name, const std::string& grouping) {
        firewall_.edit([&](firewall::FirewallPolicy& policy) {
            policy.rules.push_back(
                test::InboundRule(name, grouping, firewall::kProtocolTcp, "3389", true));
        });
    }
    // The result file's key=value lines, which must come in their fixed order.
    static std::map<std::string, std::string> resultFile(const std::string& path) {
        std::string text;
        EXPECT_TRUE(ReadFileText(path, text));
        std::map<std::string, std::string> values;
        std::string keys;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            const std::size_t equals = line.find('=');
            values[line.substr(0, equals)] = line.substr(equals + 1);
            keys += line.substr(0, equals) + " ";
        }
        EXPECT_EQ(keys, "code error machine port grant keys thumbprint ips ");
        return values;
    }

    test::TempDir root_;
    test::TempDir units_;
    test::FakeSystemctl systemctl_;
    ServiceControl services_;
    test::MemoryFirewallStore firewall_;
    test::RecordingNftRunner nft_;
    std::vector<std::string> lines_;
    SetupEnvironment env_;
};

TEST_F(SetupTest, GrantIsClampedAndTheCertificateReused) {
    gate::GateStore first;
    std::string error;
    ASSERT_TRUE(setupGate(env_, first, true, 5, error)) << error;
    gate::GateConfig config = storedConfig();
    EXPECT_EQ(config.grantSeconds, 15);
    const std::string thumbprint = config.certThumbprint;

    gate::GateStore second;
    ASSERT_TRUE(setupGate(env_, second, false, 3600, error)) << error;
    config = storedConfig();
    EXPECT_EQ(config.grantSeconds, 600);
    EXPECT_EQ(config.certThumbprint, thumbprint);
}

TEST_F(SetupTest, FirstSetupRegistersTheServiceAndLeavesThePortOpenWithoutKeys) {
    const std::string resultPath = root_.file("result.txt");
    ASSERT_EQ(runSetup({"--CODE-FILE", resultPath, "--grant", "120"}), 0) << output();

    EXPECT_TRUE(printed("      the RDP port is NOT closed yet: no keys are enrolled."));
    // Nothing disabled, the gate's own rule present, and the kernel told about it.
    const firewall::FirewallPolicy policy = firewall_.policy();
    EXPECT_TRUE(rule(policy, kBuiltInRemoteDesktopRuleName)->enabled);
    ASSERT_NE(rule(policy, kServiceRuleName), nullptr);
    EXPECT_EQ(rule(policy, kServiceRuleName)->localPorts, "7440");
    EXPECT_TRUE(policy.enforcement.enabled);
    ASSERT_FALSE(nft_.scripts.empty());
    EXPECT_EQ(nft_.scripts.back(), firewall::nftProjectionScript(policy));

    std::string unit;
    ASSERT_TRUE(ReadFileText(services_.unitPath(), unit));
    EXPECT_NE(unit.find("ExecStart=\"/opt/velmora/velmora\" --service\n"), std::string::npos);
    EXPECT_TRUE(systemctl_.units["xrdp.service"].enabled);
    // The boot unit puts the rules into the kernel before any network or xrdp comes up.
    ASSERT_TRUE(ReadFileText(services_.firewallUnitPath(), unit));
    EXPECT_NE(unit.find("Before=network-pre.target xrdp.service velmora.service\n"),
              std::string::npos);

    auto result = resultFile(resultPath);
    EXPECT_EQ(result["grant"], "120");
    EXPECT_EQ(result["thumbprint"], storedConfig().certThumbprint);
    gate::GateStore store;
    std::string error;
    ASSERT_TRUE(store.load(dataFile("gate.json"), error));
    EXPECT_TRUE(store.checkEnrollmentCode(result["code"]));
}

TEST_F(SetupTest, WithKeysSetupClosesThePortRepairsTheFirewallAndRearms) {
    enrollKey();
    addRule("Open RDP", "");
    addRule("Velmora - allow 203.0.113.5", kGrantGroup);
    firewall_.edit([](firewall::FirewallPolicy& policy) {
        policy.profile(firewall::FirewallProfile::Public).firewallEnabled = false;
        policy.profile(firewall::FirewallProfile::Private).defaultInboundAction =
            firewall::RuleAction::Allow;
    });
    std::string error;
    ASSERT_TRUE(firewall::setDisarmed(env_.dataDirectory, true, error));
    nft_.failure = "nft: Operation not permitted";

    gate::GateStore store;
    ASSERT_TRUE(setupGate(env_, store, false, 0, error)) << error;
    EXPECT_TRUE(printed("      allow rules disabled: 2")) << output();
    EXPECT_TRUE(printed("      nft: Operation not permitted"));
    EXPECT_FALSE(firewall::isDisarmed(env_.dataDirectory));

    const firewall::FirewallPolicy policy = firewall_.policy();
    EXPECT_FALSE(rule(policy, kBuiltInRemoteDesktopRuleName)->enabled);
    EXPECT_FALSE(rule(policy, "Open RDP")->enabled);
    EXPECT_EQ(rule(policy, "Velmora - allow 203.0.113.5"), nullptr);
    EXPECT_EQ(policy.profiles, firewall::DefaultFirewallPolicy().profiles);
    // The kernel refused the projection, so the store does not claim enforcement; the service
    // still runs, as the store keeps the rules.
    EXPECT_FALSE(policy.enforcement.enabled);
    EXPECT_EQ(systemctl_.units[kServiceUnit].active, "active");
}

TEST_F(SetupTest, AFailedSetupRegistersNothingAndReportsInTheResultFile) {
    const std::string resultPath = root_.file("result.txt");
    firewall_.failReads("firewall.json is damaged");
    EXPECT_EQ(runSetup({"--port", "9000", "--code-file", resultPath}), 1);
    const std::string error =
        "cannot reach the Windows Firewall: FirewallStore::read failed: firewall.json is damaged";
    EXPECT_EQ(lines_.back(), "ERROR: " + error);
    EXPECT_FALSE(FileExists(services_.unitPath()));
    auto result = resultFile(resultPath);
    EXPECT_EQ(result["error"], error);
    EXPECT_EQ(result["code"], "");
    EXPECT_EQ(result["port"], "9000");
}

// Removing the units and stopping the service are the service commands' integration test.
TEST_F(SetupTest, UninstallRemovesTheGateRulesButKeepsThePortClosed) {
    EXPECT_EQ(RunUninstall(env_), 1);
    EXPECT_EQ(lines_.back(), "ERROR: the service is not installed");

    enrollKey();
    std::string error;
    gate::GateStore store;
    ASSERT_TRUE(setupGate(env_, store, false, 0, error)) << error;
    addRule("Velmora - allow 203.0.113.5", kGrantGroup);
    // Without systemd nothing is touched.
    const firewall::FirewallPolicy before = firewall_.policy();
    systemctl_.reachable = false;
    EXPECT_FALSE(uninstallGate(env_, error));
    EXPECT_EQ(firewall_.policy(), before);
    systemctl_.reachable = true;

    ASSERT_TRUE(uninstallGate(env_, error)) << error;
    EXPECT_TRUE(printed("To restore ordinary RDP access now:  Velmora.exe unlock"));
    const firewall::FirewallPolicy policy = firewall_.policy();
    EXPECT_EQ(rule(policy, kServiceRuleName), nullptr);
    EXPECT_EQ(rule(policy, "Velmora - allow 203.0.113.5"), nullptr);
    EXPECT_FALSE(rule(policy, kBuiltInRemoteDesktopRuleName)->enabled);
    // Certificate, configuration and keys stay for a later setup.
    EXPECT_TRUE(FileExists(dataFile("gate.json")));
    EXPECT_TRUE(FileExists(dataFile("tls-cert.pem")));
}

}  // namespace
}  // namespace vel::admin
