#include "os/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "os/files.h"
#include "os/paths.h"
#include "support/temp_dir.h"

namespace vel {
namespace {

std::string slurp(const std::string& path) {
    std::string text;
    static_cast<void>(ReadFileText(path, text));
    return text;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("VELMORA_DEBUG");
        SetLogMinLevel(LogLevel::Info);
        InitLog(dir_.path(), "gate");
    }
    void TearDown() override { SetLogMinLevel(LogLevel::Info); }
    std::string logPath() const { return dir_.file("gate.log"); }

    test::TempDir dir_;
};

TEST_F(LogTest, WritesFormattedLinesAtOrAboveTheMinimumLevelCutAt2047Bytes) {
    Log(LogLevel::Debug, "hidden %d", 1);
    Log(LogLevel::Info, "gate ready on port %d", 8443);
    Log(LogLevel::Error, "%s", std::string(5000, 'x').c_str());
    const std::string text = slurp(logPath());
    const std::regex first(
        R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[INFO \] gate ready on port 8443)");
    EXPECT_TRUE(std::regex_match(text.substr(0, text.find('\n')), first)) << text.substr(0, 200);
    EXPECT_NE(text.find("[ERROR] " + std::string(2047, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), 'x'), 2047);

    // The debug switch takes short values starting with 1.
    EXPECT_FALSE(DebugSwitchOn("12345678"));
    ::setenv("VELMORA_DEBUG", "1", 1);
    InitLog(dir_.path(), "gate");
    Log(LogLevel::Debug, "now visible");
    ::unsetenv("VELMORA_DEBUG");
    EXPECT_NE(slurp(logPath()).find("[DEBUG] now visible"), std::string::npos);
}

TEST_F(LogTest, ClientTextWithControlBytesStaysOnOneLine) {
    Log(LogLevel::Warn, "rejected %s", "/x\r\n2026-01-01 [INFO ] granted\x1b[0m\x7f");
    const std::string text = slurp(logPath());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_NE(text.find("rejected /x\\x0d\\x0a2026-01-01 [INFO ] granted\\x1b[0m\\x7f\n"),
              std::string::npos);
    EXPECT_EQ(EscapeControlBytes("ok \xc3\xa9"), "ok \xc3\xa9");  // UTF-8 passes through
}

TEST_F(LogTest, RotatesOnlyPastFourMebibytesKeepingOneOlderGeneration) {
    { std::ofstream(logPath()) << std::string(kLogRotateSize, 'o'); }
    Log(LogLevel::Info, "exactly at the limit");
    EXPECT_FALSE(FileExists(logPath() + ".1"));

    Log(LogLevel::Info, "past the limit");
    EXPECT_NE(slurp(logPath() + ".1").find("exactly at the limit"), std::string::npos);

    // The older generation is replaced, never accumulated.
    { std::ofstream(logPath(), std::ios::app) << std::string(kLogRotateSize, 'n'); }
    Log(LogLevel::Info, "third");
    EXPECT_EQ(slurp(logPath() + ".1").find("exactly"), std::string::npos);
}

// The service and the command line append to one file: no line may be lost or torn.
TEST_F(LogTest, ThreadsAndProcessesAppendWithoutLosingLines) {
    constexpr int kLines = 300;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t, child] {
            for (int i = 0; i < kLines; ++i)
                Log(LogLevel::Info, "%s thread %d line %d", child == 0 ? "child" : "parent", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);

    std::istringstream in(slurp(logPath()));
    std::string row;
    std::set<std::string> seen;
    while (std::getline(in, row)) {
        const size_t tag = row.find("[INFO ] ");
        ASSERT_NE(tag, std::string::npos) << row;
        seen.insert(row.substr(tag + 8));
    }
    EXPECT_EQ(seen.size(), 2u * 3 * kLines);
}

}  // namespace
}  // namespace vel
