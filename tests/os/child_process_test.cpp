#include "os/child_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "os/files.h"
#include "os/nft_watch.h"
#include "os/paths.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

// The gate blocks its stop signals on every thread; a child must not inherit that, or a hung
// nft would ignore the SIGTERM meant to end it.
TEST(ChildProcess, ChildrenStartWithAnEmptySignalMaskAndDefaultDispositions) {
    sigset_t stop, previous;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &stop, &previous), 0);
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &before), 0);

    const ChildResult result = RunChild({"sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status"});

    ::sigaction(SIGHUP, &before, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(result.started);
    EXPECT_NE(result.output.find("SigBlk:\t0000000000000000"), std::string::npos) << result.output;
    // sh itself ignores nothing it was not told to.
    EXPECT_EQ(result.output.find("SigIgn:\t0000000000000001"), std::string::npos) << result.output;
}

// That a change reported by the monitor brings the table back is the end-to-end test's.
TEST(NftMonitor, TheCommandDiesWithAProcessThatIsKilledOutright) {
    test::TempDir dir;
    const std::string pidFile = JoinPath(dir.path(), "pid");
    const pid_t gate = ::fork();
    ASSERT_GE(gate, 0);
    if (gate == 0) {
        auto watch =
            StartNftMonitor({"sh", "-c", "echo $$ >\"$0\"; exec sleep 60", pidFile}, [] {});
        for (int i = 0; i < 500 && !FileExists(pidFile); ++i) ::usleep(10'000);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(gate, &status, 0), gate);
    std::string text;
    ASSERT_TRUE(ReadFileText(pidFile, text));
    const pid_t monitor = std::stoi(text);
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = ::kill(monitor, 0) != 0;
        if (!gone) ::usleep(10'000);
    }
    EXPECT_TRUE(gone) << "the monitor outlived its process";
    if (!gone) ::kill(monitor, SIGKILL);
}

}  // namespace
}  // namespace vel
