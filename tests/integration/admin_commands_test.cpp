// The administration commands as an administrator meets them: the real binary over a data
// directory of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/json.h"
#include "core/time.h"
#include "core/version.h"
#include "firewall/firewall.h"
#include "firewall/firewall_store_file.h"
#include "gate/gate_store.h"
#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/gate_requests.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

class AdminCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    }
    test::ProcessResult run(std::vector<std::string> args) {
        args.insert(args.begin(), test::VelmoraBinary());
        return test::RunProcess(args, {"PROGRAMDATA=" + data_.path(), "INVOCATION_ID="});
    }
    std::string dataFile(const std::string& name) const {
        return JoinPath(JoinPath(data_.path(), "Velmora"), name);
    }
    std::string read(const std::string& name) const {
        std::string text;
        static_cast<void>(ReadFileText(dataFile(name), text));
        return text;
    }
    void enrollKey(const std::string& id, const std::string& label) {
        ASSERT_TRUE(EnsureDirectory(JoinPath(data_.path(), "Velmora")));
        gate::GateStore store;
        std::string error;
        ASSERT_TRUE(store.load(dataFile("gate.json"), error)) << error;
        ASSERT_EQ(store.addCredential(test::PlaceholderCredential(id, label), error),
                  gate::AddCredentialResult::Added)
            << error;
    }
    static bool has(const test::ProcessResult& result, const std::string& line) {
        return result.output.find(line + "\n") != std::string::npos;
    }
    static std::string codeOf(const std::string& output) {
        const std::string label = "  Enrollment code: ";
        const auto at = output.find(label);
        return at == std::string::npos ? std::string() : output.substr(at + label.size(), 14);
    }
    test::TempDir data_;
};

TEST_F(AdminCommandsTest, CodesAreClampedAndCheckCodeNamesWhyOneIsRefused) {
    EXPECT_TRUE(has(run({"check-code", "ABCD-EFGH-JKMN"}),
                    "  [CAUSE] No issued code exists on this machine."));
    const auto shortCode = run({"code", "--TTL", "0"});
    EXPECT_TRUE(has(shortCode, "  Valid for:       1 min.")) << shortCode.output;
    const auto longCode = run({"code", "--ttl", "5000"});
    EXPECT_TRUE(has(longCode, "  Valid for:       1440 min.")) << longCode.output;

    const std::string code = codeOf(longCode.output);
    EXPECT_TRUE(has(run({"check-code", code}), "  [OK] The code is correct and active."));
    // The first code was replaced by the second one.
    EXPECT_TRUE(has(run({"check-code", codeOf(shortCode.output)}),
                    "  [CAUSE] The code does not match the one stored on this machine."));

    JsonValue state;
    ASSERT_TRUE(JsonParse(read("enrollment.json"), state));
    state.set("expiresAt", UnixNow() - 630);
    ASSERT_TRUE(WriteFileAtomic(dataFile("enrollment.json"), JsonDump(state, 2)));
    const auto expired = run({"check-code", code});
    EXPECT_TRUE(has(expired, "  [CAUSE] the code expired 10 min. ago.")) << expired.output;
    EXPECT_FALSE(has(expired, "  [OK] The code is correct and active."));
}

TEST_F(AdminCommandsTest, CheckCodeComparesTheServiceBuildWithItsOwn) {
    const std::string code = codeOf(run({"code"}).output);
    const auto check = [&] { return run({"check-code", code}); };
    EXPECT_TRUE(has(check(), "  Service version:        unknown — it has never been started"));

    const std::string directory = JoinPath(data_.path(), "Velmora");
    gate::ServiceRuntime runtime{kProgramVersion, kBuildId, "/opt/velmora/velmora", 42, UnixNow()};
    ASSERT_TRUE(gate::WriteServiceRuntime(directory, runtime));
    EXPECT_TRUE(has(check(), "  Versions match. If the code is still rejected —"));

    runtime.version = "0.0.1";
    ASSERT_TRUE(gate::WriteServiceRuntime(directory, runtime));
    EXPECT_TRUE(has(check(), "  [CAUSE FOUND] The versions are DIFFERENT."));

    ASSERT_TRUE(WriteFileAtomic(dataFile(gate::kServiceRuntimeFile), "{not json"));
    EXPECT_TRUE(has(check(), "  Service version:        state file is unreadable"));
}

TEST_F(AdminCommandsTest, KeysAndRemoveKeyRejectBadNumbers) {
    enrollKey("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "Office key");
    EXPECT_TRUE(has(run({"keys"}), "  [1] Office key"));
    // A key without enforcement protects nothing, and status says so.
    EXPECT_TRUE(has(run({"status"}),
                    "  WARNING: protection is NOT in force, the RDP port is open to everyone:"));

    const std::string before = read("gate.json");
    for (const char* number : {"0", "2", "one", "1x"}) {
        const auto result = run({"remove-key", number});
        EXPECT_EQ(result.exitCode, 1) << number;
        EXPECT_EQ(result.output, "No key with that number.\n") << number;
    }
    EXPECT_EQ(read("gate.json"), before);

    const auto removed = run({"remove-key", "1"});
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_TRUE(has(removed, "WARNING: this is the last key. Once it is removed, nobody will be"));
    EXPECT_TRUE(has(run({"keys"}), "No keys enrolled."));
}

TEST_F(AdminCommandsTest, GeoImportAllowTestAndClear) {
    EXPECT_TRUE(has(run({"geo"}), "  Country filter: off (access is allowed from anywhere)."));
    // Without a table the filter is refused and nothing is saved.
    const std::string unfiltered = read("gate.json");
    const auto refused = run({"geo", "allow", "DE"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(has(refused, "Enabling the filter without a table would cut off your own access."));
    EXPECT_EQ(read("gate.json"), unfiltered);

    const std::string registry = data_.file("delegated-test");
    ASSERT_TRUE(
        WriteFileAtomic(registry, std::string("2|test|20240101|2|19700101|20240101|+0000\n"
                                              "test|DE|ipv4|5.1.0.0|256|20100101|allocated\n"
                                              "test|FR|ipv4|5.2.0.0|256|20100101|allocated\n")));
    const auto imported = run({"geoip-import", registry});
    ASSERT_EQ(imported.exitCode, 0) << imported.output;
    EXPECT_TRUE(has(imported, "Done: 2 ranges, 2 countries."));

    EXPECT_EQ(run({"geo", "allow", "RUS"}).exitCode, 1);
    const auto allowed = run({"geo", "allow", "de", "US"});
    ASSERT_EQ(allowed.exitCode, 0) << allowed.output;
    EXPECT_TRUE(
        has(allowed,
            "WARNING: country US is not in the table — nobody from it will be able to connect."));
    EXPECT_TRUE(has(run({"geo", "test", "5.1.0.7"}), "  Result:  ACCESS ALLOWED"));
    EXPECT_TRUE(
        has(run({"geo", "test", "5.2.0.7"}), "  Result:  REJECTED — country is not in the list"));

    EXPECT_EQ(run({"geo", "clear"}).exitCode, 0);
    EXPECT_TRUE(has(run({"geo"}), "  Country filter: off (access is allowed from anywhere)."));
}

TEST_F(AdminCommandsTest, HardenWithoutKeysStillClosesTheRemoteDesktopRules) {
    if (::geteuid() != 0) GTEST_SKIP() << "harden needs root";
    if (!FileExists("/usr/bin/unshare")) GTEST_SKIP() << "unshare is not installed";
    // An open firewall, as a careless administrator might leave it.
    firewall::FileFirewallStore store(JoinPath(data_.path(), "Velmora"));
    std::string error;
    ASSERT_TRUE(store.update(
        [](firewall::FirewallPolicy& policy, std::string&) {
            policy.profile(firewall::FirewallProfile::Public).firewallEnabled = false;
            policy.profile(firewall::FirewallProfile::Private).defaultInboundAction =
                firewall::RuleAction::Allow;
            return true;
        },
        error))
        << error;
    // Harden switches enforcement on: nft runs in a network namespace of its own.
    const auto first = test::RunProcess({"/usr/bin/unshare", "-n", test::VelmoraBinary(), "harden"},
                                        {"PROGRAMDATA=" + data_.path(), "INVOCATION_ID="});
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_TRUE(has(first, "Allow rules disabled for port 3389: 1")) << first.output;
    EXPECT_TRUE(has(first, "nftables enforcement switched on (table inet velmora)."))
        << first.output;
    EXPECT_TRUE(has(run({"status"}), "  Firewall on in all profiles: yes"));
}

}  // namespace
}  // namespace vel
