#include "host/viewer_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/input_injector.h"

namespace vel::host {
namespace {

using namespace vel::stream;

class CountingInput final : public InputBackend {
  public:
    explicit CountingInput(int& events) : events_(events) {}
    bool key(unsigned, bool) override { return ++events_, true; }
    bool button(unsigned, bool) override { return ++events_, true; }
    bool moveTo(int, int) override { return ++events_, true; }
    bool moveBy(int, int) override { return ++events_, true; }
    Rect virtualScreen() override { return {0, 0, 1920, 1080}; }
    bool reconnect() override { return true; }
    std::string displayName() const override { return ":9"; }

  private:
    int& events_;
};

struct Fixture {
    int events = 0;
    int secureAttention = 0;
    std::vector<DisplayModeRequest> modes;
    InputInjector injector{std::make_unique<CountingInput>(events)};

    ViewerMessages make(bool injectInput) {
        ViewerMessages::Actions actions;
        actions.secureAttention = [this] { ++secureAttention; };
        actions.displayMode = [this](const DisplayModeRequest& r) { modes.push_back(r); };
        return ViewerMessages(&injector, injectInput, std::move(actions));
    }
};

const std::vector<Message> kInput = {encodeKeyEvent({0x1E, 1}), encodePointerMove({3, -4}),
                                     encodeMouseButton({1, true}), encodeWheel({120, false}),
                                     encodeInputKeepAlive()};

TEST(ViewerMessages, InputIsInjectedAndCountedOnlyWhileInjectionIsOn) {
    Fixture on;
    ViewerMessages messages = on.make(true);
    for (const Message& m : kInput) messages.handle(Channel::Input, m);
    messages.handle(Channel::Input, Message{kMsgKey, 0x1E, 0});  // 3 bytes: ignored
    EXPECT_EQ(messages.inputs(), kInput.size());
    EXPECT_EQ(on.events, 5);  // key, move, button, wheel press and release
    messages.handle(Channel::Control, encodeSecureAttentionRequest());
    EXPECT_EQ(on.secureAttention, 1);

    Fixture off;
    ViewerMessages ignoring = off.make(false);
    for (const Message& m : kInput) ignoring.handle(Channel::Input, m);
    ignoring.handle(Channel::Control, encodeSecureAttentionRequest());
    EXPECT_EQ(ignoring.inputs(), 0u);
    EXPECT_EQ(off.events, 0);
    EXPECT_EQ(off.secureAttention, 0);
}

TEST(ViewerMessages, ControlRequestsAreStoredAndMalformedOnesIgnored) {
    Fixture f;
    ViewerMessages messages = f.make(true);
    messages.handle(Channel::Control, encodeQualityRequest({30, false, 0, 0}));
    Message tooHigh = encodeQualityRequest({100, true, 0, 0});
    tooHigh[1] = 101;
    messages.handle(Channel::Control, tooHigh);
    ViewerReport report = messages.report();
    EXPECT_EQ(report.qualityGeneration, 1u);
    EXPECT_EQ(report.quality.bias, 30);
    EXPECT_FALSE(report.quality.automatic);

    // Input ids on the control channel are not input.
    messages.handle(Channel::Control, encodeKeyEvent({0x1E, 1}));
    EXPECT_EQ(f.events, 0);

    messages.handle(Channel::Control, encodeViewerScreen({1366, 768, 60, kScreenWantsNative}));
    Message shortScreen = encodeViewerScreen({800, 600, 60, 0});
    shortScreen.pop_back();
    messages.handle(Channel::Control, shortScreen);
    messages.handle(Channel::Control, encodeDisplayModeRequest({1366, 768, true}));
    report = messages.report();
    EXPECT_TRUE(report.screenReceived);
    EXPECT_EQ(report.screenGeneration, 1u);
    EXPECT_EQ(report.screen.width, 1366);
    ASSERT_EQ(f.modes.size(), 1u);
    EXPECT_EQ(f.modes[0].height, 768);
}

}  // namespace
}  // namespace vel::host
