#include "host/gpu_converter.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "os/log.h"
#include "support/temp_dir.h"

namespace vel::host {
namespace {

TEST(GpuConverter, ReportsItselfUnavailableAndLogsItOnce) {
    GpuConverter converter;
    std::string error;
    EXPECT_FALSE(converter.init(1920, 1080, 0, 1080, error));
    EXPECT_EQ(error, "bad converter arguments");

    // "Once" is per process, so a fresh process of its own does the counting.
    test::TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        InitLog(dir.path(), "agent");
        std::string reason;
        const bool built = GpuConverter().init(1920, 1080, 1280, 720, reason) ||
                           GpuConverter().init(800, 600, 800, 600, reason);
        ::_exit(!built && reason == "no GPU video processor for X11 captures" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::ifstream in(dir.file("agent.log"));
    std::stringstream text;
    text << in.rdbuf();
    const std::string line =
        "GPU converter unavailable (no GPU video processor for X11 captures); frames go through "
        "memory";
    const std::string all = text.str();
    ASSERT_NE(all.find(line), std::string::npos) << all;
    EXPECT_EQ(all.find(line), all.rfind(line));
}

}  // namespace
}  // namespace vel::host
