#include "admin/self_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <vector>

#include "support/golden.h"
#include "support/temp_dir.h"

namespace vel::admin {
namespace {

struct RunOutput {
    int exitCode = -1;
    std::vector<std::string> lines;
};

RunOutput runSelfTest(const std::string& workDirectory, const std::string& invertedCheck = {}) {
    RunOutput run;
    SelfTestOptions options;
    options.print = [&run](std::string_view line) { run.lines.emplace_back(line); };
    options.workDirectory = workDirectory;
    options.invertedCheck = invertedCheck;
    run.exitCode = RunSelfTest(options);
    return run;
}

std::string joined(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const std::string& line : lines) out << line << "\n";
    return out.str();
}

// The titles and the check names administrators and scripts read, in the order they appear.
std::vector<std::string> fixedLines() {
    std::vector<std::string> lines;
    std::istringstream in(test::Golden("selftest-lines.txt"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(SelfTest, EveryCheckPassesHereInItsGroupAndTheScratchFoldersAreGone) {
    test::TempDir work;
    const RunOutput run = runSelfTest(work.path());
    const std::string output = joined(run.lines);
    EXPECT_EQ(run.exitCode, 0) << output;
    EXPECT_EQ(output.find("[FAIL]"), std::string::npos) << output;

    ASSERT_GE(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[0], "");
    std::size_t next = 0;
    for (const std::string& expected : fixedLines()) {
        while (next < run.lines.size() && run.lines[next] != expected) ++next;
        ASSERT_LT(next, run.lines.size()) << "missing or out of order: " << expected << "\n"
                                          << output;
    }
    int checks = 0;
    for (const std::string& line : run.lines) checks += line.rfind("  [ ok ] ", 0) == 0;
    EXPECT_EQ(run.lines.back(), "Passed: " + std::to_string(checks) + ", failed: 0");

    EXPECT_TRUE(std::filesystem::is_empty(work.path())) << "scratch folders were left behind";
}

TEST(SelfTest, OneFailingCheckMakesTheRunFailAndIsCountedOnce) {
    test::TempDir work;
    const RunOutput healthy = runSelfTest(work.path());
    const RunOutput broken =
        runSelfTest(work.path(), "the code SURVIVED the service rewriting gate.json");
    const std::string output = joined(broken.lines);
    EXPECT_EQ(broken.exitCode, 1) << output;
    EXPECT_NE(output.find("  [FAIL] the code SURVIVED the service rewriting gate.json\n"),
              std::string::npos)
        << output;
    // The run went on past the failure.
    EXPECT_NE(output.find("  [ ok ] the code is consumed\n"), std::string::npos) << output;
    const int total = static_cast<int>(
        std::count_if(healthy.lines.begin(), healthy.lines.end(),
                      [](const std::string& line) { return line.rfind("  [ ok ] ", 0) == 0; }));
    EXPECT_EQ(broken.lines.back(), "Passed: " + std::to_string(total - 1) + ", failed: 1");
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
}

}  // namespace
}  // namespace vel::admin
