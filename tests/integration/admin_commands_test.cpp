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

TEST_F(AdminCommandsTest, IssuedCodeIsRecognisedAndTtlIsClamped) {
    const auto shortCode = run({"code", "--TTL", "0"});
    ASSERT_EQ(shortCode.exitCode, 0) << shortCode.output;
    EXPECT_TRUE(has(shortCode, "  Valid for:       1 min."));
    const auto longCode = run({"code", "--ttl", "5000"});
    ASSERT_EQ(longCode.exitCode, 0);
    EXPECT_TRUE(has(longCode, "  Valid for:       1440 min."));

    const std::string code = codeOf(longCode.output);
    const auto good = run({"check-code", code});
    EXPECT_TRUE(has(good, "  [OK] The code is correct and active.")) << good.output;
    // The first code was replaced by the second one.
    const auto stale = run({"check-code", codeOf(shortCode.output)});
    EXPECT_TRUE(has(stale, "  [CAUSE] The code does not match the one stored on this machine."));
    EXPECT_EQ(run({"check-code"}).exitCode, 1);
}

TEST_F(AdminCommandsTest, CheckCodeNamesTheCauseOfAMissingOrExpiredCode) {
    const auto missing = run({"check-code", "ABCD-EFGH-JKMN"});
    EXPECT_EQ(missing.exitCode, 0);
    EXPECT_TRUE(has(missing, "  enrollment.json: MISSING"));
    EXPECT_TRUE(has(missing, "  code inside gate.json: none"));
    EXPECT_TRUE(has(missing, "  [CAUSE] No issued code exists on this machine."));

    const std::string code = codeOf(run({"code"}).output);
    JsonValue state;
    ASSERT_TRUE(JsonParse(read("enrollment.json"), state));
    state.set("expiresAt", UnixNow() - 630);
    ASSERT_TRUE(WriteFileAtomic(dataFile("enrollment.json"), JsonDump(state, 2)));
    const auto expired = run({"check-code", code});
    EXPECT_TRUE(has(expired, "  enrollment.json: present"));
    EXPECT_TRUE(has(expired, "  [CAUSE] the code expired 10 min. ago.")) << expired.output;
    EXPECT_TRUE(has(expired, "  A code lives 15 minutes. Issue a new one:  Velmora.exe code"));
    EXPECT_FALSE(has(expired, "  [OK] The code is correct and active."));

}

TEST_F(AdminCommandsTest, CheckCodeComparesTheServiceBuildWithItsOwn) {
    const std::string code = codeOf(run({"code"}).output);
    const auto check = [&] {
        const auto result = run({"check-code", code});
        EXPECT_TRUE(has(result, "  [OK] The code is correct and active.")) << result.output;
        EXPECT_TRUE(has(result, std::string("  This program's version: ") + kProgramVersion + " (" +
                                    kBuildId + ")"));
        return result;
    };
    const std::string update = "      cp -f " + test::VelmoraBinary() +
                               " /opt/velmora/velmora && systemctl restart velmora";
    const auto never = check();
    EXPECT_TRUE(has(never, "  Service version:        unknown — it has never been started"));
    EXPECT_TRUE(has(never, update));

    const std::string directory = JoinPath(data_.path(), "Velmora");
    gate::ServiceRuntime runtime{kProgramVersion, kBuildId, "/opt/velmora/velmora", 42, UnixNow()};
    ASSERT_TRUE(gate::WriteServiceRuntime(directory, runtime));
    const auto same = check();
    EXPECT_TRUE(has(same, "  Started from:           /opt/velmora/velmora"));
    EXPECT_TRUE(has(same, "  Versions match. If the code is still rejected —"));
    EXPECT_TRUE(has(same, "      tail -n 6 " + dataFile("gate.log")));

    runtime.version = "0.0.1";
    ASSERT_TRUE(gate::WriteServiceRuntime(directory, runtime));
    const auto older = check();
    EXPECT_TRUE(has(older, "  [CAUSE FOUND] The versions are DIFFERENT."));
    EXPECT_TRUE(has(older, update));

    ASSERT_TRUE(WriteFileAtomic(dataFile(gate::kServiceRuntimeFile), "{not json"));
    EXPECT_TRUE(has(check(), "  Service version:        state file is unreadable"));
}

TEST_F(AdminCommandsTest, KeysAndRemoveKeyRejectBadNumbers) {
    EXPECT_TRUE(has(run({"keys"}), "No keys enrolled."));
    enrollKey("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "Office key");
    const auto keys = run({"keys"});
    EXPECT_TRUE(has(keys, "  [1] Office key"));
    const auto status = run({"status"});
    EXPECT_TRUE(has(status, "  Keys:         1"));
    // A key without enforcement protects nothing, and status says so.
    EXPECT_FALSE(has(status, "  Protection is active: the RDP port opens only on a FIDO key."));
    EXPECT_TRUE(has(status, "  WARNING: protection is NOT in force, the RDP port is open to everyone:"));
    EXPECT_TRUE(has(status, "  nftables enforcement is off: the rules are kept but not enforced. "
                            "Fix it: Velmora.exe harden"));

    const std::string before = read("gate.json");
    for (const char* number : {"0", "2", "one", "1x"}) {
        const auto result = run({"remove-key", number});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, "No key with that number.\n") << number;
    }
    EXPECT_EQ(read("gate.json"), before);

    const auto removed = run({"remove-key", "1"});
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_EQ(removed.output,
              "WARNING: this is the last key. Once it is removed, nobody will be\n"
              "able to connect over RDP until a new key is enrolled.\n"
              "Key 'Office key' removed.\n");
    EXPECT_TRUE(has(run({"keys"}), "No keys enrolled."));
}

TEST_F(AdminCommandsTest, GeoImportAllowTestAndClear) {
    EXPECT_TRUE(has(run({"geo"}), "  Country filter: off (access is allowed from anywhere)."));
    EXPECT_TRUE(
        has(run({"geo", "test", "8.8.8.8"}), "  Result:  REJECTED — address table is not loaded"));

    // Without a table the filter is refused and nothing is saved.
    const std::string unfiltered = read("gate.json");
    const auto refused = run({"geo", "allow", "DE"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.output.rfind("ERROR: the address table is not loaded (", 0), 0u);
    EXPECT_TRUE(has(refused, "First run: Velmora.exe geoip-import <RIR files>"));
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
    EXPECT_TRUE(has(run({"status"}), "  Country filter: DE, US"));

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
    const auto harden = [this] {
        return test::RunProcess({"/usr/bin/unshare", "-n", test::VelmoraBinary(), "harden"},
                                {"PROGRAMDATA=" + data_.path(), "INVOCATION_ID="});
    };
    const auto first = harden();
    EXPECT_EQ(first.exitCode, 0);
    EXPECT_EQ(first.output,
              "Gate port 7440 opened (rule restored).\n"
              "Allow rules disabled for port 3389: 1\n"
              "Inbound connections are blocked by default in all profiles.\n"
              "The firewall was off — enabled in all profiles.\n"
              "nftables enforcement switched on (table inet velmora).\n");
    EXPECT_TRUE(has(run({"status"}), "  Firewall on in all profiles: yes"));
}

}  // namespace
}  // namespace vel
