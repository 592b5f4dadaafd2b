#include "admin/self_test.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace vel::admin {
namespace {

// A clean run is the selftest command's integration test; here a check is made to fail.
TEST(SelfTest, OneFailingCheckMakesTheRunFailAndIsCountedOnce) {
    test::TempDir work;
    std::string output;
    SelfTestOptions options;
    options.print = [&output](std::string_view line) { (output += line) += "\n"; };
    options.workDirectory = work.path();
    options.invertedCheck = "the code SURVIVED the service rewriting gate.json";
    EXPECT_EQ(RunSelfTest(options), 1) << output;
    EXPECT_NE(output.find("  [FAIL] the code SURVIVED the service rewriting gate.json\n"),
              std::string::npos)
        << output;
    // The run went on past the failure.
    EXPECT_NE(output.find("  [ ok ] the code is consumed\n"), std::string::npos) << output;
    EXPECT_NE(output.find(", failed: 1\n"), std::string::npos) << output;
    EXPECT_TRUE(std::filesystem::is_empty(work.path())) << "scratch folders were left behind";
}

}  // namespace
}  // namespace vel::admin
