#include <gtest/gtest.h>

#include <memory>

#include "host/input_injector.h"
#include "host/x_test_client.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

std::unique_ptr<InputInjector> openInjector() {
    std::string error;
    auto backend = openXTestInput(error);
    EXPECT_TRUE(backend) << error;
    return backend ? std::make_unique<InputInjector>(std::move(backend)) : nullptr;
}

#define START_XVFB(server, w, h)                           \
    test::Xvfb server;                                     \
    {                                                      \
        std::string why;                                   \
        if (!server.start(w, h, why)) GTEST_SKIP() << why; \
    }

// The backend's screen size bounds absolute moves on a monitor that does not start at 0,0.
TEST(XTestInput, AbsoluteMovesLandOnTheCapturedMonitor) {
    START_XVFB(server, 800, 300);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    client.addMonitor("LEFT", 0, 0, 300, 300, false);
    client.addMonitor("RIGHT", 300, 0, 500, 300, true);
    auto injector = openInjector();
    ASSERT_TRUE(injector);
    injector->setOutputRect({300, 0, 800, 300});
    int x = 0, y = 0;
    injector->moveAbsolute(0, 0);
    client.pointer(x, y);
    EXPECT_EQ(x, 300);
    EXPECT_EQ(y, 0);
    injector->moveAbsolute(65535, 65535);
    client.pointer(x, y);
    EXPECT_EQ(x, 799);
    EXPECT_EQ(y, 299);
    injector->moveRelative(-50, -20);
    client.pointer(x, y);
    EXPECT_EQ(x, 749);
    EXPECT_EQ(y, 279);
}

TEST(XTestInput, ALostServerIsReplacedByTheOneDisplayNowNames) {
    auto first = std::make_unique<test::Xvfb>();
    std::string why;
    if (!first->start(320, 240, why)) GTEST_SKIP() << why;
    auto injector = openInjector();
    ASSERT_TRUE(injector);
    injector->setOutputRect({0, 0, 320, 240});
    EXPECT_TRUE(injector->key(0x1E, 1));
    first.reset();  // the session's X server ends

    START_XVFB(second, 320, 240);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    EXPECT_TRUE(injector->moveAbsolute(32768, 32768));  // sent after reopening the connection
    int x = 0, y = 0;
    client.pointer(x, y);
    EXPECT_EQ(x, 159);
    EXPECT_EQ(y, 119);
    EXPECT_EQ(injector->displayName(), second.display());
    EXPECT_EQ(injector->failed(), 0u);
}

}  // namespace
}  // namespace vel::host
