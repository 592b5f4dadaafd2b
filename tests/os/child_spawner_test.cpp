#include "os/child_spawner.h"

#include <gtest/gtest.h>

#include <csignal>

namespace vel {
namespace {

// The pipe, the pidfd and reaping are exercised with real agents by the stream integration test.
TEST(ChildSpawner, TerminateEndsAChildThatIgnoresSigtermAndAMissingProgramIsReported) {
    ChildLaunch stubborn;
    stubborn.argv = {"/bin/sh", "-c", "trap '' TERM; while :; do sleep 1; done"};
    std::string error;
    std::unique_ptr<RunningChild> child = SystemChildSpawner().spawn(stubborn, error);
    ASSERT_TRUE(child) << error;
    int status = 0;
    EXPECT_FALSE(child->reap(status));
    child->terminate(200);
    EXPECT_NE(::kill(child->pid(), 0), 0);

    ChildLaunch missing;
    missing.argv = {"/nonexistent/velmora", "stream", "serve"};
    EXPECT_FALSE(SystemChildSpawner().spawn(missing, error));
    EXPECT_EQ(error.rfind("posix_spawn failed: No such file or directory", 0), 0u) << error;
}

}  // namespace
}  // namespace vel
