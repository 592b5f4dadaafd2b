#include "host/input_injector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/scan_codes.h"
#include "host/secure_attention.h"

namespace vel::host {
namespace {

// What the recording backend saw; it fails the next `failures` sends.
struct Recording {
    std::vector<std::string> log;
    int failures = 0;
    int reconnects = 0;
};

class RecordingInput final : public InputBackend {
  public:
    explicit RecordingInput(Recording& r) : r_(r) {}

    bool key(unsigned code, bool down) override {
        return record("key " + std::to_string(code) + (down ? " down" : " up"));
    }
    bool button(unsigned b, bool down) override {
        return record("button " + std::to_string(b) + (down ? " down" : " up"));
    }
    bool moveTo(int x, int y) override {
        return record("to " + std::to_string(x) + "," + std::to_string(y));
    }
    bool moveBy(int dx, int dy) override {
        return record("by " + std::to_string(dx) + "," + std::to_string(dy));
    }
    Rect virtualScreen() override { return {0, 0, 3840, 1080}; }
    bool reconnect() override {
        ++r_.reconnects;
        return true;
    }
    std::string displayName() const override { return ":9"; }

  private:
    bool record(std::string event) {
        if (r_.failures > 0) {
            --r_.failures;
            return false;
        }
        r_.log.push_back(std::move(event));
        return true;
    }
    Recording& r_;
};

struct Fixture : Recording {
    InputInjector injector{std::make_unique<RecordingInput>(*this)};

    bool message(std::vector<std::uint8_t> bytes) {
        return injector.handleMessage(bytes.data(), bytes.size());
    }
};

TEST(InputInjector, MessagesBecomeXEventsAndBadOnesAreIgnored) {
    Fixture f;
    EXPECT_FALSE(f.message({40, 0x1E, 0}));        // 3 bytes
    EXPECT_FALSE(f.message({40, 0x1E, 0, 1, 0}));  // 5 bytes
    EXPECT_FALSE(f.message({43, 6, 1}));           // no button 6
    EXPECT_FALSE(f.message({47}));
    EXPECT_TRUE(f.log.empty());

    EXPECT_TRUE(f.message({40, 0x1E, 0, 1}));  // A down
    EXPECT_TRUE(f.message({40, 0x4B, 0, 3}));  // extended: Left, not keypad 4
    EXPECT_TRUE(f.message({40, 0x4B, 0, 0}));  // keypad 4 up
    for (std::uint8_t b = 1; b <= 5; ++b) EXPECT_TRUE(f.message({43, b, 1}));
    EXPECT_TRUE(f.message({41, 0xFE, 0xFF, 5, 0}));  // dx -2, dy 5
    EXPECT_TRUE(f.message({45, 1, 2, 3}));
    EXPECT_EQ(f.log, (std::vector<std::string>{"key 38 down", "key 113 down", "key 83 up",
                                               "button 1 down", "button 3 down", "button 2 down",
                                               "button 8 down", "button 9 down", "by -2,5"}));
    EXPECT_EQ(f.injector.injected(), 9u);
}

TEST(InputInjector, WheelNotchesBecomeClicksAndRestsCarryOver) {
    Fixture f;
    f.injector.wheel(240, false);
    f.injector.wheel(-120, false);
    f.injector.wheel(120, true);
    f.injector.wheel(-60, true);
    EXPECT_EQ(f.log.size(), 8u);
    f.injector.wheel(-60, true);
    EXPECT_EQ(f.log,
              (std::vector<std::string>{
                  "button 4 down", "button 4 up", "button 4 down", "button 4 up", "button 5 down",
                  "button 5 up", "button 7 down", "button 7 up", "button 6 down", "button 6 up"}));
}

TEST(InputInjector, HeldKeysAndButtonsAreReleasedOnceInOrder) {
    Fixture f;
    f.injector.key(0x2A, 1);
    f.injector.key(0x2A, 1);
    f.injector.key(0x2A, 0);  // a set: one up releases both downs
    f.injector.key(0x38, 3);  // right Alt
    f.injector.key(0x1D, 1);
    f.injector.mouseButton(2, true);
    f.injector.mouseButton(1, true);
    f.log.clear();
    f.message({46});
    EXPECT_EQ(f.log,
              (std::vector<std::string>{"key 37 up", "key 108 up", "button 1 up", "button 3 up"}));
    f.log.clear();
    f.injector.releaseAll();
    EXPECT_TRUE(f.log.empty());
    {
        InputInjector scoped(std::make_unique<RecordingInput>(f));
        scoped.key(0x5B, 3);  // left Windows key, still down when the injector ends
    }
    EXPECT_EQ(f.log.back(), "key 133 up");
}

TEST(InputInjector, AFailedSendReconnectsAndRetriesOnce) {
    Fixture f;
    f.failures = 1;
    EXPECT_TRUE(f.injector.key(0x1E, 1));
    EXPECT_EQ(f.reconnects, 1);
    EXPECT_EQ(f.log, (std::vector<std::string>{"key 38 down"}));
    f.failures = 2;
    EXPECT_FALSE(f.injector.key(0x1E, 0));
    EXPECT_EQ(f.reconnects, 2);
    EXPECT_EQ(f.injector.injected(), 1u);
    EXPECT_EQ(f.injector.failed(), 1u);
    EXPECT_FALSE(f.injector.key(0x7F, 1));  // no such key: nothing sent, counted as failed
    EXPECT_EQ(f.injector.failed(), 2u);
}

TEST(InputInjector, AbsolutePositionsSpanTheCapturedOutputOnly) {
    const Rect virtualScreen{0, 0, 3840, 1080};
    const Rect right{1920, 0, 3840, 1080};
    int x = 0, y = 0;
    mapAbsolutePosition(right, virtualScreen, 65535, 65535, x, y);
    EXPECT_EQ(x, 3839);
    EXPECT_EQ(y, 1079);
    mapAbsolutePosition(right, virtualScreen, 32768, 16384, x, y);
    EXPECT_EQ(x, 1920 + 959);
    EXPECT_EQ(y, 269);
    // An output that reaches past a screen that has since shrunk stays on the screen.
    mapAbsolutePosition(right, {0, 0, 2000, 800}, 65535, 65535, x, y);
    EXPECT_EQ(x, 1999);
    EXPECT_EQ(y, 799);

    Fixture f;
    f.injector.setOutputRect(right);
    EXPECT_TRUE(f.message({42, 0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(f.log, (std::vector<std::string>{"to 1920,1079"}));
}

TEST(InputInjector, CtrlAltDeleteIsThreeKeysDownThenUpInReverse) {
    Fixture f;
    sendSecureAttention(f.injector);
    EXPECT_EQ(f.log, (std::vector<std::string>{"key 37 down", "key 64 down", "key 119 down",
                                               "key 119 up", "key 64 up", "key 37 up"}));
}

// The viewer's side checks that every key it sends maps; these are the host-only corners.
TEST(ScanCodes, ExtendedPairsAndUnmappedCodes) {
    EXPECT_EQ(evdevKeyFromScanCode(0x53, false), 83u);  // keypad .
    EXPECT_EQ(evdevKeyFromScanCode(0x53, true), 111u);  // Delete
    EXPECT_EQ(evdevKeyFromScanCode(0x46, true), 119u);  // Pause (Ctrl+Break)
    EXPECT_EQ(evdevKeyFromScanCode(0x55, false), 0u);
    EXPECT_EQ(evdevKeyFromScanCode(0x01, true), 0u);
    EXPECT_EQ(evdevKeyFromScanCode(0x153, false), 0u);
    // Every code that maps must fit an X key code (8..255).
    for (unsigned scan = 0; scan < 0x100; ++scan)
        for (bool ext : {false, true})
            EXPECT_LE(evdevKeyFromScanCode(static_cast<std::uint16_t>(scan), ext), 247u);
}

}  // namespace
}  // namespace vel::host
