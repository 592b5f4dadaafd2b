// unlock and arm as an administrator runs them: the real binary over a data directory and a
// stand-in systemd of the test's own. unlock and arm run in a network namespace of their own, so
// the host's ruleset stays out of reach whatever they do.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/files.h"
#include "os/paths.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

class RecoveryCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        data_ = JoinPath(root_.path(), "Velmora");
        ASSERT_TRUE(EnsureDirectory(data_));
    }
    test::ProcessResult run(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
        args.insert(args.begin(), test::VelmoraBinary());
        args.insert(args.begin(), prefix.begin(), prefix.end());
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + root_.path());
        env.push_back("INVOCATION_ID=");
        return test::RunProcess(args, env);
    }

    test::TempDir root_;
    std::string data_;
    test::StandInSystemd systemd_;
};

TEST_F(RecoveryCommandsTest, UnlockAndArmNeedAdministratorRights) {
    std::vector<std::string> prefix;
    if (::geteuid() == 0) {
        if (!FileExists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is needed to drop root";
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    for (const char* command : {"unlock", "arm"}) {
        const test::ProcessResult result = run({command}, prefix);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.output, "ERROR: administrator rights are required.\n") << command;
    }
    EXPECT_FALSE(FileExists(JoinPath(data_, "disarmed")));
    EXPECT_TRUE(systemd_.calls().empty());
}

}  // namespace
}  // namespace vel
