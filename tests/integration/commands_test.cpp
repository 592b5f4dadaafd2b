// The command line as an administrator and a user meet it: the real binary over a data directory
// and a stand-in systemd of the test's own, whose "start" really runs the gate.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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
#include "support/golden.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"
#include "support/test_network.h"

namespace vel {
namespace {

constexpr const char* kUnshare = "/usr/bin/unshare";

bool isEmpty(const std::string& folder) {
    std::error_code ignored;
    return std::filesystem::is_empty(folder, ignored);
}

class CommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        ASSERT_TRUE(EnsureDirectory(dataDirectory()));
    }

    std::string dataDirectory() const { return JoinPath(data_.path(), "Velmora"); }
    std::string dataFile(const std::string& name) const { return JoinPath(dataDirectory(), name); }
    std::string read(const std::string& name) const {
        std::string text;
        static_cast<void>(ReadFileText(dataFile(name), text));
        return text;
    }
    std::vector<std::string> environment() const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + data_.path());
        env.push_back("INVOCATION_ID=");
        return env;
    }
    // The binary, behind prefix when one is given, over this test's data and systemd.
    test::ProcessResult run(std::vector<std::string> args, std::vector<std::string> prefix = {},
                            std::vector<std::string> env = {}) const {
        args.insert(args.begin(), test::VelmoraBinary());
        args.insert(args.begin(), prefix.begin(), prefix.end());
        const std::vector<std::string> own = environment();
        env.insert(env.end(), own.begin(), own.end());
        return test::RunProcess(args, env);
    }
    static bool has(const test::ProcessResult& result, const std::string& line) {
        return result.output.find(line + "\n") != std::string::npos;
    }
    static std::string codeOf(const std::string& output) {
        const std::string label = "  Enrollment code: ";
        const auto at = output.find(label);
        return at == std::string::npos ? std::string() : output.substr(at + label.size(), 14);
    }
    void enrollKey(const std::string& id = "key-1", const std::string& label = "Key 1") {
        gate::GateStore store;
        std::string error;
        ASSERT_TRUE(store.load(dataFile("gate.json"), error)) << error;
        ASSERT_EQ(store.addCredential(test::PlaceholderCredential(id, label), error),
                  gate::AddCredentialResult::Added)
            << error;
    }

    // The service and harden need root; they run in a network namespace of their own.
    static bool serviceRuns() { return ::geteuid() == 0 && FileExists(kUnshare); }
    // The gate's unit as setup writes it, but the gate runs in a network namespace of its own so
    // that it can neither meet another listener nor reach the machine's firewall.
    void installAndStart() {
        ASSERT_TRUE(WriteFileAtomic(systemd_.unitPath(),
                                    std::string("[Service]\nType=notify\nExecStart=\"") + kUnshare +
                                        "\" -n \"" + test::VelmoraBinary() + "\" --service\n"));
        ASSERT_EQ(test::RunProcess({"/usr/bin/env", "systemctl", "start", "velmora.service"},
                                   environment())
                      .exitCode,
                  0);
        ASSERT_GT(systemd_.mainPid(), 0) << systemd_.serviceOutput();
    }

    test::TempDir data_;
    test::StandInSystemd systemd_;
};

TEST_F(CommandsTest, HelpWordsPrintTheUsageInAnyCaseAndOtherWordsAreRefused) {
    const std::string usage = test::Golden("usage.txt");
    for (const char* word : {"help", "HELP", "--Help", "/?"}) {
        const auto result = run({word});
        EXPECT_EQ(result.exitCode, 0) << word;
        EXPECT_EQ(result.output, usage) << word;
    }
    for (const char* word : {"frobnicate", "hel", "helpx"}) {
        const auto result = run({word});
        EXPECT_EQ(result.exitCode, 1) << word;
        EXPECT_EQ(result.output, std::string("Unknown command: ") + word + "\n\n" + usage);
    }
    EXPECT_FALSE(FileExists(JoinPath(dataDirectory(), "gate.json")));

    const auto service = run({"--service"});
    EXPECT_EQ(service.exitCode, 1);
    EXPECT_EQ(service.output.rfind("--service is started by the service control manager", 0), 0u)
        << service.output;
}

TEST_F(CommandsTest, AnOrdinaryUserMayRunSelftestButNotUnlockOrArm) {
    if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    for (const char* command : {"unlock", "arm"}) {
        const test::ProcessResult result = run({command}, nobody);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.output, "ERROR: administrator rights are required.\n") << command;
    }
    EXPECT_FALSE(systemd_.called());

    // The data directory is only root's, as /var/lib/Velmora is: selftest works elsewhere.
    test::TempDir scratch;
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0777), 0);
    const test::ProcessResult selftest = run({"selftest"}, nobody, {"TMPDIR=" + scratch.path()});
    if (selftest.output.find("Permission denied") != std::string::npos)
        GTEST_SKIP() << "the build is not reachable for another user: " << selftest.output;
    EXPECT_EQ(selftest.exitCode, 0) << selftest.output;
    EXPECT_NE(selftest.output.find(", failed: 0\n"), std::string::npos) << selftest.output;
    EXPECT_TRUE(isEmpty(scratch.path()));
    EXPECT_TRUE(isEmpty(dataDirectory()));
}

TEST_F(CommandsTest, CodesAreClampedAndCheckCodeNamesWhyOneIsRefused) {
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
}

TEST_F(CommandsTest, CheckCodeComparesTheServiceBuildWithItsOwn) {
    const std::string code = codeOf(run({"code"}).output);
    const auto check = [&] { return run({"check-code", code}); };
    EXPECT_TRUE(has(check(), "  Service version:        unknown — it has never been started"));

    gate::ServiceRuntime runtime{kProgramVersion, kBuildId, "/opt/velmora/velmora", 42, UnixNow()};
    ASSERT_TRUE(gate::WriteServiceRuntime(dataDirectory(), runtime));
    EXPECT_TRUE(has(check(), "  Versions match. If the code is still rejected —"));

    runtime.version = "0.0.1";
    ASSERT_TRUE(gate::WriteServiceRuntime(dataDirectory(), runtime));
    EXPECT_TRUE(has(check(), "  [CAUSE FOUND] The versions are DIFFERENT."));

    ASSERT_TRUE(WriteFileAtomic(dataFile(gate::kServiceRuntimeFile), "{not json"));
    EXPECT_TRUE(has(check(), "  Service version:        state file is unreadable"));
}

TEST_F(CommandsTest, KeysAndRemoveKeyRejectBadNumbers) {
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

TEST_F(CommandsTest, GeoImportAllowTestAndClear) {
    // Without a table the filter is refused and nothing is saved.
    const auto refused = run({"geo", "allow", "DE"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(has(refused, "Enabling the filter without a table would cut off your own access."));
    EXPECT_TRUE(has(run({"geo"}), "  Country filter: off (access is allowed from anywhere)."));

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

TEST_F(CommandsTest, HardenWithoutKeysStillClosesTheRemoteDesktopRules) {
    if (!serviceRuns()) GTEST_SKIP() << "harden needs root and unshare";
    // An open firewall, as a careless administrator might leave it.
    firewall::FileFirewallStore store(dataDirectory());
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
    const auto first = run({"harden"}, {kUnshare, "-n"});
    EXPECT_EQ(first.exitCode, 0) << first.output;
    EXPECT_TRUE(has(first, "Allow rules disabled for port 3389: 1")) << first.output;
    EXPECT_TRUE(has(first, "nftables enforcement switched on (table inet velmora)."))
        << first.output;
    EXPECT_TRUE(has(run({"status"}), "  Firewall on in all profiles: yes"));
}

TEST_F(CommandsTest, StopEndsTheServiceAndItsRestartOnFailureByForceIfNeeded) {
    if (!serviceRuns()) GTEST_SKIP() << "the service needs root and unshare";
    installAndStart();
    const auto stopped = run({"stop"});
    EXPECT_EQ(stopped.exitCode, 0);
    EXPECT_EQ(stopped.output, "Removing auto-restart\nNormal stop\nState: stopped\n");
    EXPECT_EQ(systemd_.mainPid(), 0);
    std::string dropIn;
    ASSERT_TRUE(
        ReadFileText(JoinPath(systemd_.unitDirectory(), "velmora.service.d/restart.conf"), dropIn));
    EXPECT_EQ(dropIn, "[Service]\nRestart=no\n");

    installAndStart();
    const int pid = systemd_.mainPid();
    systemd_.setFlag("velmora.service", "stop-hangs", true);
    const auto killed = run({"stop"});
    EXPECT_EQ(killed.exitCode, 0);
    EXPECT_NE(killed.output.find("Did not stop, killing the process\nState: stopped\n"),
              std::string::npos)
        << killed.output;
    EXPECT_EQ(systemd_.mainPid(), 0);
    // Gone, or a zombie waiting for a parent that does not reap.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    EXPECT_TRUE(!std::getline(stat, line) || line.find(") Z ") != std::string::npos) << line;
}

TEST_F(CommandsTest, StopWithoutAServiceOrWithoutSystemd) {
    const auto absent = run({"stop"});
    EXPECT_EQ(absent.exitCode, 0);
    EXPECT_NE(absent.output.find("State: not installed\n"), std::string::npos) << absent.output;

    systemd_.setFlag("", "unreachable", true);
    const auto unreachable = run({"stop"});
    EXPECT_EQ(unreachable.exitCode, 1);
    EXPECT_NE(unreachable.output.find("State: unknown\n"), std::string::npos) << unreachable.output;
    EXPECT_EQ(unreachable.output.find("systemctl stop failed"), std::string::npos);
}

TEST_F(CommandsTest, SetupStartsTheGateAndUninstallRemovesItKeepingThePortClosed) {
    if (!serviceRuns()) GTEST_SKIP() << "the service needs root and unshare";
    test::TestNetwork net({});
    if (!net.createNamespaces()) GTEST_SKIP() << "cannot create a network namespace";
    systemd_.addUnit("xrdp.service", false, false);
    enrollKey();
    const auto setup = net.run(net.machine(), {test::VelmoraBinary(), "setup"}, environment());
    ASSERT_EQ(setup.exitCode, 0) << setup.output;
    EXPECT_GT(systemd_.mainPid(), 0) << systemd_.serviceOutput();
    const auto listTable = [&] {
        return net.run(net.machine(), {"/usr/sbin/nft", "list", "table", "inet", "velmora"});
    };
    EXPECT_EQ(listTable().exitCode, 0);

    // What setup and uninstall register and remove is the unit test's; here, what holds.
    const auto uninstall =
        net.run(net.machine(), {test::VelmoraBinary(), "uninstall"}, environment());
    ASSERT_EQ(uninstall.exitCode, 0) << uninstall.output;
    EXPECT_EQ(systemd_.mainPid(), 0);
    // The kernel still holds the projection that keeps the port closed.
    const auto table = listTable();
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.output.find("3389"), std::string::npos) << table.output;

    // A reboot empties the kernel; the boot role puts the stored rules back with no gate running.
    ASSERT_EQ(net.run(net.machine(), {"/usr/sbin/nft", "flush", "ruleset"}).exitCode, 0);
    EXPECT_NE(listTable().exitCode, 0);
    const auto boot =
        net.run(net.machine(), {test::VelmoraBinary(), "--apply-firewall"}, environment());
    EXPECT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_NE(listTable().output.find("3389"), std::string::npos);
}

}  // namespace
}  // namespace vel
