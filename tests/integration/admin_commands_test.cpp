// The administration commands as an administrator meets them: the real binary over a data
// directory of its own.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/files.h"
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

TEST_F(AdminCommandsTest, CheckCodeWithoutIssuedCodeNamesTheCause) {
    const auto result = run({"check-code", "ABCD-EFGH-JKMN"});
    EXPECT_TRUE(has(result, "  enrollment.json: MISSING"));
    EXPECT_TRUE(has(result, "  [CAUSE] No issued code exists on this machine."));
}

TEST_F(AdminCommandsTest, KeysAndRemoveKeyRejectBadNumbers) {
    EXPECT_TRUE(has(run({"keys"}), "No keys enrolled."));
    for (const char* number : {"0", "3", "one"}) {
        const auto result = run({"remove-key", number});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.output, "No key with that number.\n") << number;
    }
}

TEST_F(AdminCommandsTest, GeoImportAllowTestAndClear) {
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
    EXPECT_TRUE(has(run({"geoip-import", data_.file("absent")}),
                    "File not found: " + data_.file("absent")));
    const auto imported = run({"geoip-import", registry});
    ASSERT_EQ(imported.exitCode, 0) << imported.output;
    EXPECT_TRUE(has(imported, "Done: 2 ranges, 2 countries."));

    const auto bad = run({"geo", "allow", "RUS"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.output.rfind("ERROR: ", 0), 0u);
    const auto allowed = run({"geo", "allow", "de", "US"});
    ASSERT_EQ(allowed.exitCode, 0) << allowed.output;
    EXPECT_TRUE(
        has(allowed,
            "WARNING: country US is not in the table — nobody from it will be able to connect."));

    EXPECT_TRUE(has(run({"geo", "test", "5.1.0.7"}), "  Result:  ACCESS ALLOWED"));
    EXPECT_TRUE(
        has(run({"geo", "test", "5.2.0.7"}), "  Result:  REJECTED — country is not in the list"));
    EXPECT_TRUE(
        has(run({"geo", "test", "9.9.9.9"}), "  Result:  REJECTED — address is not in the table"));
    EXPECT_TRUE(
        has(run({"geo", "test", "192.168.1.5"}), "  Result:  ACCESS ALLOWED (local network)"));
    EXPECT_TRUE(has(run({"status"}), "  Country filter: DE, US"));

    EXPECT_EQ(run({"geo", "clear"}).exitCode, 0);
    const auto off = run({"geo", "test", "5.2.0.7"});
    EXPECT_TRUE(has(off, "  (the filter is currently off — only country lookup is shown)"));
    EXPECT_TRUE(has(off, "  Result:  would be rejected if the country is not listed"));
    EXPECT_TRUE(has(run({"geo", "frob"}), "Available: show, allow, clear, test"));
}

TEST_F(AdminCommandsTest, BareCommandShowsStatusWithEnforcementState) {
    const auto result = run({});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(has(result, "  Protection is NOT active: no keys, the RDP port works as usual."));
    EXPECT_TRUE(
        has(result, "  Kernel enforcement:          off — rules are kept but not enforced"));
}

}  // namespace
}  // namespace vel
