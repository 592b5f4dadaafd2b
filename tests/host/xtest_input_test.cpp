#include <gtest/gtest.h>

#include <memory>

#include "host/input_injector.h"
#include "host/x_test_client.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

// Keys and clicks through XTest are shown end to end; what only shows here is the reconnection.
TEST(XTestInput, ALostServerIsReplacedByTheOneDisplayNowNames) {
    auto first = std::make_unique<test::Xvfb>();
    std::string why;
    if (!first->start(320, 240, why)) GTEST_SKIP() << why;
    auto backend = openXTestInput(why);
    ASSERT_TRUE(backend) << why;
    InputInjector injector(std::move(backend));
    injector.setOutputRect({0, 0, 320, 240});
    first.reset();  // the session's X server ends

    test::Xvfb second;
    ASSERT_TRUE(second.start(320, 240, why)) << why;
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    EXPECT_TRUE(injector.moveAbsolute(32768, 32768));  // sent after reopening the connection
    int x = 0, y = 0;
    client.pointer(x, y);
    EXPECT_EQ(x, 159);
    EXPECT_EQ(y, 119);
    EXPECT_EQ(injector.displayName(), second.display());
    EXPECT_EQ(injector.failed(), 0u);
}

}  // namespace
}  // namespace vel::host
