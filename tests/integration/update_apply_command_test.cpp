// `velmora update-apply` run from a staged copy against an installed "service" that the stand-in
// systemd really starts and stops: a build that does not stay up is rolled back on real files.
// The successful replacement runs in the update chain test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gate/service_runtime.h"
#include "os/files.h"
#include "os/paths.h"
#include "support/process.h"
#include "support/stand_in_systemd.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

constexpr const char* kUnshare = "/usr/bin/unshare";

// The build installed before the update: a service that only waits to be stopped.
constexpr const char* kOldBuild = "#!/bin/sh\n# the old build\nexec sleep 120\n";

class UpdateApplyCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
        if (::geteuid() != 0) GTEST_SKIP() << "update-apply needs root";
        // The new build runs as the gate; a network namespace of its own keeps it off the host's.
        if (test::RunProcess({kUnshare, "-n", "true"}).exitCode != 0)
            GTEST_SKIP() << "unshare -n is not available";

        installed_ = dir_.file("opt/velmora");
        staged_ = dir_.file("Velmora/update/Velmora-new.exe");
        ASSERT_TRUE(EnsureDirectory(dir_.file("opt")));
        ASSERT_TRUE(EnsureDirectory(dir_.file("Velmora/update")));
        ASSERT_TRUE(WriteFileAtomic(installed_, kOldBuild));
        ASSERT_EQ(::chmod(installed_.c_str(), 0755), 0);
        ASSERT_TRUE(ReadFileBytes(test::VelmoraBinary(), newBuild_));
        ASSERT_TRUE(WriteFileAtomic(staged_, newBuild_.data(), newBuild_.size()));
        ASSERT_EQ(::chmod(staged_.c_str(), 0755), 0);

        // Where the service last ran from, as the gate records it at start.
        gate::ServiceRuntime runtime;
        runtime.version = "1.0";
        runtime.executable = installed_;
        ASSERT_TRUE(gate::WriteServiceRuntime(dir_.file("Velmora"), runtime));
        ASSERT_TRUE(WriteFileAtomic(systemd_.unitPath(), "[Service]\nType=notify\nExecStart=\"" +
                                                             installed_ +
                                                             "\" --service\nRestart=on-failure\n"));
        const test::ProcessResult started =
            test::RunProcess({"/bin/sh", "-c", "systemctl start velmora.service"}, environment());
        ASSERT_EQ(started.exitCode, 0) << started.output;
        oldPid_ = systemd_.mainPid();
        ASSERT_GT(oldPid_, 0);
    }

    std::vector<std::string> environment() const {
        std::vector<std::string> env = systemd_.environment();
        env.push_back("PROGRAMDATA=" + dir_.path());
        return env;
    }

    test::ProcessResult updateApply() const {
        return test::RunProcess({kUnshare, "-n", "--", staged_, "update-apply"}, environment());
    }

    Bytes read(const std::string& path) const {
        Bytes data;
        static_cast<void>(ReadFileBytes(path, data));
        return data;
    }

    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(dir_.file("Velmora/gate.log"), text));
        return text;
    }

    test::TempDir dir_;
    test::StandInSystemd systemd_;
    std::string installed_;
    std::string staged_;
    Bytes newBuild_;
    int oldPid_ = 0;
};

TEST_F(UpdateApplyCommand, ABuildThatDoesNotStayUpIsRolledBackByteForByte) {
    // The new build refuses to start over a configuration it cannot read; the old one never reads
    // it.
    ASSERT_TRUE(WriteFileAtomic(dir_.file("Velmora/gate.json"), "[not an object]"));
    const test::ProcessResult result = updateApply();
    EXPECT_EQ(result.exitCode, 1) << result.output << log();
    EXPECT_NE(result.output.find(
                  "ERROR: the new version did not start; the previous binary was restored.\n"),
              std::string::npos)
        << result.output;

    EXPECT_EQ(read(installed_), BytesOf(kOldBuild));
    EXPECT_EQ(read(installed_ + ".bak"), BytesOf(kOldBuild));
    const int pid = systemd_.mainPid();
    EXPECT_GT(pid, 0);
    EXPECT_NE(pid, oldPid_);

    const std::string text = log();
    EXPECT_NE(text.find("[ERROR] update-apply: the new binary did not stay running ("),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[ERROR] update-apply: rollback done, old service running"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("service startup failed: gate.json is corrupt or not an object"),
              std::string::npos)
        << text;
}

}  // namespace
}  // namespace vel
