#include "core/time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

namespace vel {
namespace {

TEST(FormatLocalTime, FormatsLocalDayFirstAndRejectsNonPositiveTimes) {
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    EXPECT_EQ(FormatLocalTime(1789000000), "10.09.2026 02:26");
    EXPECT_EQ(FormatLocalTime(0), "");
    ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace vel
