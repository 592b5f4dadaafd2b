// The command line as a user meets it: the real binary, its output and its exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os/files.h"
#include "os/paths.h"
#include "support/golden.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        ASSERT_TRUE(EnsureDirectory(dataDirectory()));
    }
    // The binary, behind prefix when one is given, over this test's data and systemd.
    test::ProcessResult run(std::vector<std::string> args, std::vector<std::string> prefix = {},
                            std::vector<std::string> env = {}) {
        args.insert(args.begin(), test::VelmoraBinary());
        args.insert(args.begin(), prefix.begin(), prefix.end());
        const std::vector<std::string> systemd = systemd_.environment();
        env.insert(env.end(), systemd.begin(), systemd.end());
        env.push_back("PROGRAMDATA=" + data_.path());
        env.push_back("INVOCATION_ID=");
        return test::RunProcess(args, env);
    }
    std::string dataDirectory() const { return JoinPath(data_.path(), "Velmora"); }

    test::TempDir data_;
    test::StandInSystemd systemd_;
};

bool isEmpty(const std::string& folder) {
    std::error_code ignored;
    return std::filesystem::is_empty(folder, ignored);
}

TEST_F(CliTest, HelpWordsPrintTheUsageInAnyCaseAndOtherWordsAreRefused) {
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

TEST_F(CliTest, AnOrdinaryUserMayRunSelftestButNotUnlockOrArm) {
    if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    for (const char* command : {"unlock", "arm"}) {
        const test::ProcessResult result = run({command}, nobody);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.output, "ERROR: administrator rights are required.\n") << command;
    }
    EXPECT_TRUE(systemd_.calls().empty());

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

}  // namespace
}  // namespace vel
