#include "os/child_spawner.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>

#include "os/files.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

ChildSpec shell(const std::string& script, const std::string& input = {}) {
    ChildSpec spec;
    spec.argv = {"/bin/sh", "-c", script};
    spec.environment = {"GREETING=hello"};
    spec.input = input;
    return spec;
}

int waitForEnd(RunningChild& child) {
    pollfd ended{child.endedFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, -1), 1);
    int status = -1;
    EXPECT_TRUE(child.reap(status));
    return status;
}

TEST(ChildSpawner, TheChildReadsItsInputFromThePipeAndItsEndIsSeenAndReaped) {
    test::TempDir dir;
    ChildSpec spec = shell("cat > got; echo \"$GREETING\" > env; pwd > where; exit 7", "{\"keys\":1}");
    spec.workingDirectory = dir.path();
    std::string error;
    const std::unique_ptr<RunningChild> child = SystemChildSpawner().spawn(std::move(spec), error);
    ASSERT_TRUE(child) << error;
    EXPECT_GT(child->pid(), 0);
    EXPECT_EQ(waitForEnd(*child), 7);
    int again = 0;
    EXPECT_FALSE(child->reap(again));
    std::string text;
    ASSERT_TRUE(ReadFileText(dir.file("got"), text));
    EXPECT_EQ(text, "{\"keys\":1}");
    ASSERT_TRUE(ReadFileText(dir.file("env"), text));
    EXPECT_EQ(text, "hello\n");  // the environment given, nothing inherited
    ASSERT_TRUE(ReadFileText(dir.file("where"), text));
    EXPECT_EQ(text, dir.path() + "\n");
}

TEST(ChildSpawner, TerminateEndsAChildThatIgnoresSigtermAndAMissingProgramIsReported) {
    std::string error;
    std::unique_ptr<RunningChild> stubborn =
        SystemChildSpawner().spawn(shell("trap '' TERM; while :; do sleep 1; done"), error);
    ASSERT_TRUE(stubborn) << error;
    int status = 0;
    EXPECT_FALSE(stubborn->reap(status));
    stubborn->terminate(200);
    EXPECT_FALSE(stubborn->reap(status));  // already collected
    EXPECT_NE(::kill(stubborn->pid(), 0), 0);

    ChildSpec missing;
    missing.argv = {"/nonexistent/velmora", "stream", "serve"};
    EXPECT_FALSE(SystemChildSpawner().spawn(std::move(missing), error));
    EXPECT_EQ(error.rfind("posix_spawn failed: No such file or directory", 0), 0u) << error;
}

}  // namespace
}  // namespace vel
