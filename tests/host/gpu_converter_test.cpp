#include "host/gpu_converter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "os/log.h"
#include "support/temp_dir.h"

namespace vel::host {
namespace {

// Every encoder rebuild asks the converter; its explanation must not repeat in the log.
TEST(GpuConverter, ReportsItselfUnavailableAndLogsItOnce) {
    test::TempDir dir;
    InitLog(dir.path(), "agent");
    std::string reason;
    EXPECT_FALSE(GpuConverter().init(1920, 1080, 1280, 720, reason));
    EXPECT_EQ(reason, "no GPU video processor for X11 captures");
    EXPECT_FALSE(GpuConverter().init(800, 600, 800, 600, reason));

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
