#include "host/display_mode.h"

#include <gtest/gtest.h>

#include "host/x_test_client.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

TEST(DisplayMode, XRandrSwitchesThePrimaryOutputAndTheScreenAndBack) {
    test::Xvfb server;
    std::string why;
    if (!server.start(1920, 1080, why)) GTEST_SKIP() << why;
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    // Xvfb's one output offers only its start size; add two the way a driver would list them.
    Display* d = client.display();
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, client.root());
    for (auto [w, h] : {std::pair{1280u, 720u}, std::pair{1360u, 768u}}) {
        std::string name = std::to_string(w) + "x" + std::to_string(h);
        XRRModeInfo info{};
        info.width = w;
        info.height = h;
        info.dotClock = 60ul * (w + 160) * (h + 30);
        info.hTotal = w + 160;
        info.vTotal = h + 30;
        info.name = name.data();
        info.nameLength = static_cast<unsigned>(name.size());
        XRRAddOutputMode(d, res->outputs[0], XRRCreateMode(d, client.root(), &info));
    }
    XRRFreeScreenResources(res);
    XSync(d, False);

    DisplayModeAdapter adapter(newXRandrDisplay());
    EXPECT_EQ(adapter.apply(1366, 768, true), "1920x1080 -> 1360x768@60 for a 1366x768 viewer: ok");
    XWindowAttributes root{};
    XGetWindowAttributes(d, client.root(), &root);
    EXPECT_EQ(root.width, 1360);
    EXPECT_EQ(root.height, 768);
    adapter.restore();
    XGetWindowAttributes(d, client.root(), &root);
    EXPECT_EQ(root.width, 1920);
    EXPECT_EQ(root.height, 1080);
}

}  // namespace
}  // namespace vel::host
