// `velmora selftest` as an administrator and as an ordinary user runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "os/paths.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename().string());
    return names;
}

TEST(SelftestCommand, NeedsNoAdministratorRightsAndThenWorksInATemporaryFolder) {
    if (test::VelmoraBinary().empty()) GTEST_SKIP() << "VELMORA_BINARY is not set";
    if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
    // A data directory only root may write, as /var/lib/Velmora is.
    test::TempDir data;
    ASSERT_TRUE(EnsureDirectory(JoinPath(data.path(), "Velmora")));
    test::TempDir scratch;
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0777), 0);
    const test::ProcessResult result =
        test::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          test::VelmoraBinary(), "selftest"},
                         {"PROGRAMDATA=" + data.path(), "TMPDIR=" + scratch.path()});
    if (result.output.find("Permission denied") != std::string::npos)
        GTEST_SKIP() << "the build is not reachable for another user: " << result.output;
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find(", failed: 0\n"), std::string::npos) << result.output;
    EXPECT_TRUE(entries(scratch.path()).empty());
    EXPECT_TRUE(entries(JoinPath(data.path(), "Velmora")).empty());
}

}  // namespace
}  // namespace vel
