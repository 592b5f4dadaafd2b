// The command line as a user meets it: the real binary, its output and its exit codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/paths.h"
#include "support/golden.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    }
    test::ProcessResult run(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), test::VelmoraBinary());
        env.push_back("PROGRAMDATA=" + data_.path());
        env.push_back("INVOCATION_ID=");
        return test::RunProcess(args, env);
    }
    test::TempDir data_;
};

// The usage text, byte for byte.
const std::string kUsage = test::Golden("usage.txt");

TEST_F(CliTest, HelpWordsPrintTheUsageInAnyCase) {
    for (const char* word : {"help", "HELP", "--Help", "/?"}) {
        const auto result = run({word});
        EXPECT_EQ(result.exitCode, 0) << word;
        EXPECT_EQ(result.output, kUsage) << word;
    }
}

TEST_F(CliTest, UnknownWordsAndAbbreviationsAreRefusedWithoutTouchingTheData) {
    for (const char* word : {"frobnicate", "hel", "helpx"}) {
        const auto result = run({word});
        EXPECT_EQ(result.exitCode, 1) << word;
        EXPECT_EQ(result.output, std::string("Unknown command: ") + word + "\n\n" + kUsage);
    }
    EXPECT_FALSE(FileExists(data_.file("Velmora/gate.json")));
}

TEST_F(CliTest, ServiceRoleRefusesToStartOutsideSystemd) {
    const auto result = run({"--service"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.output,
              "--service is started by the service control manager, not by hand.\n"
              "For debugging use: Velmora.exe run\n");
}

}  // namespace
}  // namespace vel
