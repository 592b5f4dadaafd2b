#include "admin/update_apply.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "os/files.h"
#include "support/fake_systemctl.h"
#include "support/temp_dir.h"

namespace vel::admin {

using test::FakeSystemctl;

namespace {

class UpdateApplyTest : public ::testing::Test {
  protected:
    UpdateApplyTest() : service_(systemctl_, ServiceControlOptions{dir_.path(), 0}) {
        systemctl_.units["velmora.service"].active = "active";
        EXPECT_TRUE(WriteFileAtomic(dir_.file("velmora.service"), "[Service]\n"));
        EXPECT_TRUE(WriteFileAtomic(dir_.file("installed"), "old build"));
        EXPECT_TRUE(WriteFileAtomic(dir_.file("staged"), "new build"));
        options_.ownPath = dir_.file("staged");
        options_.ownVersion = "1.19";
        options_.installedPath = dir_.file("installed");
        options_.settleMs = options_.verifyMs = options_.retryMs = 0;
        options_.print = [this](std::string_view line) { printed_ += std::string(line) + "\n"; };
    }
    std::string read(const std::string& name) {
        std::string text;
        static_cast<void>(ReadFileText(dir_.file(name), text));
        return text;
    }

    test::TempDir dir_;
    FakeSystemctl systemctl_;
    ServiceControl service_;
    UpdateApplyOptions options_;
    std::string printed_;
};

// Replacing and rolling back are run for real by the update-apply command's integration test.
TEST_F(UpdateApplyTest, RunningFromTheInstalledPathIsRefusedWithoutTouchingTheService) {
    options_.ownPath = options_.installedPath;
    EXPECT_EQ(ApplyUpdate(service_, options_), 1);
    EXPECT_TRUE(systemctl_.calls.empty());
    EXPECT_EQ(read("installed"), "old build");
    EXPECT_NE(printed_.find("ERROR: update-apply must run from a staged copy, not from "),
              std::string::npos);

    // Another name for the installed file is the installed file.
    ASSERT_EQ(::symlink(options_.installedPath.c_str(), dir_.file("link").c_str()), 0);
    options_.ownPath = dir_.file("link");
    EXPECT_EQ(ApplyUpdate(service_, options_), 1);
    EXPECT_TRUE(systemctl_.calls.empty());
    EXPECT_EQ(read("installed"), "old build");
}

}  // namespace
}  // namespace vel::admin
