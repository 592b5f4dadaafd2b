#include "admin/update_apply.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "os/files.h"
#include "support/fake_systemctl.h"
#include "support/temp_dir.h"

namespace vel::admin {
namespace {

// Replacing and rolling back are run for real by the update-apply command's integration test.
TEST(UpdateApply, RunningFromTheInstalledPathIsRefusedWithoutTouchingTheService) {
    test::TempDir dir;
    test::FakeSystemctl systemctl;
    systemctl.units["velmora.service"].active = "active";
    ServiceControl service(systemctl, ServiceControlOptions{dir.path(), 0});
    ASSERT_TRUE(WriteFileAtomic(dir.file("velmora.service"), "[Service]\n"));
    ASSERT_TRUE(WriteFileAtomic(dir.file("installed"), "old build"));
    std::string printed;
    UpdateApplyOptions options;
    options.ownVersion = "1.19";
    options.installedPath = dir.file("installed");
    options.settleMs = options.verifyMs = options.retryMs = 0;
    options.print = [&printed](std::string_view line) { (printed += line) += "\n"; };

    // Another name for the installed file is the installed file.
    ASSERT_EQ(::symlink(options.installedPath.c_str(), dir.file("link").c_str()), 0);
    for (const std::string& own : {options.installedPath, dir.file("link")}) {
        options.ownPath = own;
        EXPECT_EQ(ApplyUpdate(service, options), 1) << own;
        EXPECT_TRUE(systemctl.calls.empty());
        std::string installed;
        ASSERT_TRUE(ReadFileText(options.installedPath, installed));
        EXPECT_EQ(installed, "old build");
    }
    EXPECT_NE(printed.find("ERROR: update-apply must run from a staged copy, not from "),
              std::string::npos);
}

}  // namespace
}  // namespace vel::admin
