#include "gate/update_launch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "os/files.h"
#include "os/unique_fd.h"
#include "support/temp_dir.h"

namespace vel::gate {
namespace {

TEST(UpdateLaunch, TheInstallerRunsInItsOwnSessionWithNothingOfTheService) {
    // Outside a systemd unit the installer is spawned directly.
    ::unsetenv("INVOCATION_ID");
    test::TempDir dir;
    const std::string report = dir.file("report");
    // Records its arguments, session, process group and open descriptors, then says it is done.
    const std::string script =
        "#!/bin/sh\nexec >\"" + report +
        ".tmp\"\necho \"args $*\"\nset -- $(cut -d' ' -f1,5,6 /proc/$$/stat)\n"
        "echo \"pid $1 pgid $2 sid $3\"\necho fds $(readlink /proc/$$/fd/0 /proc/$$/fd/*)\nmv \"" +
        report + ".tmp\" \"" + report + "\"\n";
    const std::string staged = dir.file("Velmora-9.exe");
    ASSERT_TRUE(WriteFileAtomic(staged, script));
    ASSERT_EQ(::chmod(staged.c_str(), 0700), 0);

    // A descriptor the service holds without close-on-exec must not reach the installer.
    ASSERT_TRUE(WriteFileAtomic(dir.file("held"), ""));
    const UniqueFd held(::open(dir.file("held").c_str(), O_RDONLY));
    ASSERT_TRUE(held);
    std::string error;
    ASSERT_TRUE(LaunchUpdateApply(staged, error)) << error;
    std::string text;
    for (int i = 0; i < 100 && !ReadFileText(report, text); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(text.empty()) << "the installer did not run";

    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "args update-apply");
    std::getline(in, line);
    std::istringstream ids(line);
    std::string word;
    long pid = 0, pgid = 0, sid = 0;
    ids >> word >> pid >> word >> pgid >> word >> sid;
    EXPECT_GT(pid, 0);
    EXPECT_EQ(sid, pid) << "not a session leader: " << line;
    EXPECT_EQ(pgid, pid) << line;
    std::getline(in, line);
    // Standard input comes from /dev/null; the shell's own descriptors aside, nothing else is open.
    EXPECT_EQ(line.rfind("fds /dev/null ", 0), 0u) << line;
    EXPECT_EQ(line.find(dir.file("held")), std::string::npos) << line;
}

}  // namespace
}  // namespace vel::gate
