#include "gate/program_version.h"

#include <gtest/gtest.h>

namespace vel::gate {
namespace {

TEST(ProgramVersion, OnlyDigitsAndDotsUpToSixteenCharacters) {
    EXPECT_TRUE(IsVersionText("1234567890123456"));
    EXPECT_FALSE(IsVersionText(""));
    EXPECT_FALSE(IsVersionText("1.18.1-beta"));
    EXPECT_FALSE(IsVersionText("v2"));
}

TEST(ProgramVersion, ComponentsCompareNumericallyAndMissingOnesCountAsZero) {
    // Equal, shorter and numeric order are seen in the update push test.
    EXPECT_GT(CompareVersions("1.18.2", "1.18.1"), 0);
    EXPECT_GT(CompareVersions("1.18.1.1", "1.18.1"), 0);
    EXPECT_EQ(CompareVersions("1.18", "1.18.0.0"), 0);
    // A fifth component is not compared.
    EXPECT_EQ(CompareVersions("1.18.1.0.9", "1.18.1"), 0);
}

}  // namespace
}  // namespace vel::gate
