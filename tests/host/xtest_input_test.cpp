#include <gtest/gtest.h>
#include <poll.h>

#include <memory>

#include "host/input_injector.h"
#include "host/secure_attention.h"
#include "host/x_test_client.h"
#include "support/xvfb.h"

namespace vel::host {
namespace {

// A window over the whole screen that has the keyboard focus and listens for everything the
// injector produces.
class TargetWindow {
  public:
    explicit TargetWindow(test::XTestClient& client) : d_(client.display()) {
        XWindowAttributes root{};
        XGetWindowAttributes(d_, client.root(), &root);
        window_ = XCreateSimpleWindow(d_, client.root(), 0, 0, static_cast<unsigned>(root.width),
                                      static_cast<unsigned>(root.height), 0, 0, 0);
        XSelectInput(
            d_, window_,
            KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | ExposureMask);
        XMapWindow(d_, window_);
        XSync(d_, False);
        XSetInputFocus(d_, window_, RevertToParent, CurrentTime);
        XSync(d_, False);
    }

    // The next key or button event, or type 0 after two seconds without one.
    XEvent next() {
        XEvent event{};
        for (int waited = 0; waited < 2000;) {
            while (XPending(d_) > 0) {
                XNextEvent(d_, &event);
                if (event.type == KeyPress || event.type == KeyRelease ||
                    event.type == ButtonPress || event.type == ButtonRelease)
                    return event;
            }
            pollfd fd{ConnectionNumber(d_), POLLIN, 0};
            ::poll(&fd, 1, 50);
            waited += 50;
        }
        event.type = 0;
        return event;
    }

    // "press 38", "release 38" for keys, "down 4", "up 4" for buttons.
    std::string nextText() {
        const XEvent e = next();
        switch (e.type) {
            case KeyPress:
                return "press " + std::to_string(e.xkey.keycode);
            case KeyRelease:
                return "release " + std::to_string(e.xkey.keycode);
            case ButtonPress:
                return "down " + std::to_string(e.xbutton.button);
            case ButtonRelease:
                return "up " + std::to_string(e.xbutton.button);
            default:
                return "nothing";
        }
    }

  private:
    Display* d_;
    Window window_;
};

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

TEST(XTestInput, KeysClicksAndWheelArriveAtTheFocusedWindow) {
    START_XVFB(server, 640, 480);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    TargetWindow target(client);
    auto injector = openInjector();
    ASSERT_TRUE(injector);
    injector->setOutputRect({0, 0, 640, 480});
    injector->moveAbsolute(32768, 32768);

    injector->key(0x1E, 1);  // A
    injector->key(0x1E, 0);
    EXPECT_EQ(target.nextText(), "press 38");
    EXPECT_EQ(target.nextText(), "release 38");
    injector->key(0x48, 3);  // Up arrow (extended), not keypad 8
    injector->key(0x48, 2);
    EXPECT_EQ(target.nextText(), "press 111");
    EXPECT_EQ(target.nextText(), "release 111");
    injector->key(0x1C, 3);  // keypad Enter
    EXPECT_EQ(target.nextText(), "press 104");
    injector->key(0x1C, 2);
    EXPECT_EQ(target.nextText(), "release 104");

    injector->mouseButton(2, true);  // right
    injector->mouseButton(2, false);
    EXPECT_EQ(target.nextText(), "down 3");
    EXPECT_EQ(target.nextText(), "up 3");
    const std::uint8_t wheelDown[] = {44, 0x10, 0xFF, 0};  // -240: two notches towards the user
    EXPECT_TRUE(injector->handleMessage(wheelDown, sizeof wheelDown));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(target.nextText(), "down 5");
        EXPECT_EQ(target.nextText(), "up 5");
    }
    injector->wheel(120, true);
    EXPECT_EQ(target.nextText(), "down 7");
    EXPECT_EQ(target.nextText(), "up 7");

    // What the viewer still holds when it goes away is released.
    injector->key(0x2A, 1);  // left Shift
    injector->mouseButton(1, true);
    EXPECT_EQ(target.nextText(), "press 50");
    EXPECT_EQ(target.nextText(), "down 1");
    injector.reset();
    EXPECT_EQ(target.nextText(), "release 50");
    EXPECT_EQ(target.nextText(), "up 1");
}

TEST(XTestInput, CtrlAltDeleteIsThreeKeysDownAndUp) {
    START_XVFB(server, 320, 240);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    TargetWindow target(client);
    auto injector = openInjector();
    ASSERT_TRUE(injector);
    injector->setOutputRect({0, 0, 320, 240});
    injector->moveAbsolute(100, 100);
    sendSecureAttention(*injector);
    for (const char* expected :
         {"press 37", "press 64", "press 119", "release 119", "release 64", "release 37"})
        EXPECT_EQ(target.nextText(), expected);
}

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
    injector->setOutputRect({0, 0, 300, 300});
    injector->moveAbsolute(65535, 0);
    client.pointer(x, y);
    EXPECT_EQ(x, 299);
    injector->moveRelative(-50, 20);
    client.pointer(x, y);
    EXPECT_EQ(x, 249);
    EXPECT_EQ(y, 20);
}

TEST(XTestInput, ALostServerIsReplacedByTheOneDisplayNowNames) {
    auto first = std::make_unique<test::Xvfb>();
    std::string why;
    if (!first->start(320, 240, why)) GTEST_SKIP() << why;
    auto injector = openInjector();
    ASSERT_TRUE(injector);
    EXPECT_TRUE(injector->key(0x1E, 1));
    first.reset();  // the session's X server ends

    START_XVFB(second, 320, 240);
    test::XTestClient client;
    ASSERT_TRUE(client.ok());
    TargetWindow target(client);
    EXPECT_TRUE(injector->key(0x30, 1));  // B, sent after reopening the connection
    EXPECT_EQ(target.nextText(), "press 56");
    EXPECT_EQ(injector->displayName(), second.display());
    EXPECT_EQ(injector->failed(), 0u);
}

}  // namespace
}  // namespace vel::host
