#include "client/view_controls.h"

#include <SDL2/SDL_scancode.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vel::client {
namespace {

// Writes down what the controls send, one word a call.
class Recorder : public ViewInputTarget {
  public:
    std::vector<std::string> sent;

    void key(std::uint16_t code, bool down, bool extended) override {
        sent.push_back("key " + std::to_string(code) + (extended ? "e" : "") +
                       (down ? " down" : " up"));
    }
    void pointer(HostPoint point) override {
        sent.push_back("pointer " + std::to_string(point.x) + "," + std::to_string(point.y));
    }
    void button(std::uint8_t button, bool down) override {
        sent.push_back("button " + std::to_string(button) + (down ? " down" : " up"));
    }
    void wheel(std::int16_t delta, bool horizontal) override {
        sent.push_back(std::string(horizontal ? "hwheel " : "wheel ") + std::to_string(delta));
    }
    void releaseAll() override { sent.push_back("release all"); }
    void secureAttention() override { sent.push_back("ctrl-alt-del"); }
    void quality(const stream::QualityRequest& request) override {
        sent.push_back("quality " + std::to_string(request.bias) +
                       (request.automatic ? " auto" : " manual"));
    }
};

KeyPress press(int scancode, bool down, bool ctrl = false, bool alt = false, bool shift = false) {
    return KeyPress{scancode, down, false, ctrl, alt, shift};
}

TEST(ViewControls, KeysGoToTheHostExceptTheViewersOwnCombinations) {
    Recorder host;
    ViewControls controls(host, stream::QualityRequest{});
    controls.key(press(SDL_SCANCODE_A, true));
    controls.key(KeyPress{SDL_SCANCODE_A, true, true, false, false, false});  // local repeat
    controls.key(press(SDL_SCANCODE_A, false));
    controls.key(press(SDL_SCANCODE_RCTRL, true));
    controls.key(press(SDL_SCANCODE_B, false));  // never pressed here: not released there
    EXPECT_EQ(host.sent, (std::vector<std::string>{"key 30 down", "key 30 up", "key 29e down"}));

    // Ctrl+Alt+End: the host gets Ctrl+Alt+Del, never the End key, not even its release.
    host.sent.clear();
    controls.key(press(SDL_SCANCODE_END, true, true, true));
    controls.key(press(SDL_SCANCODE_END, false, true, true));
    EXPECT_EQ(host.sent, (std::vector<std::string>{"ctrl-alt-del"}));

    // Ctrl+Alt+Shift combinations stay in the viewer.
    host.sent.clear();
    EXPECT_EQ(controls.key(press(SDL_SCANCODE_X, true, true, true, true)),
              ViewCommand::ToggleFullscreen);
    EXPECT_EQ(controls.key(press(SDL_SCANCODE_S, true, true, true, true)),
              ViewCommand::ToggleOverlay);
    EXPECT_EQ(controls.key(press(SDL_SCANCODE_Q, true, true, true, true)), ViewCommand::Quit);
    controls.key(press(SDL_SCANCODE_UP, true, true, true, true));
    controls.key(press(SDL_SCANCODE_UP, true, true, true, true));
    controls.key(press(SDL_SCANCODE_UP, true, true, true, true));  // already at 100
    controls.key(press(SDL_SCANCODE_A, true, true, true, true));
    controls.key(press(SDL_SCANCODE_DOWN, true, true, true, true));
    EXPECT_EQ(host.sent, (std::vector<std::string>{"quality 75 auto", "quality 100 auto",
                                                   "quality 100 manual", "quality 75 manual"}));
    EXPECT_EQ(controls.quality().bias, 75);
    // Other keys with Ctrl+Alt+Shift still reach the host.
    host.sent.clear();
    controls.key(press(SDL_SCANCODE_T, true, true, true, true));
    EXPECT_EQ(host.sent, (std::vector<std::string>{"key 20 down"}));

    // Losing the keyboard releases everything on the host; keys released afterwards are not
    // sent again.
    host.sent.clear();
    controls.focusLost();
    controls.key(press(SDL_SCANCODE_T, false));
    controls.key(press(SDL_SCANCODE_RCTRL, false));
    EXPECT_EQ(host.sent, (std::vector<std::string>{"release all"}));
}

TEST(ViewControls, MouseButtonsWheelAndPointer) {
    Recorder host;
    ViewControls controls(host, stream::QualityRequest{});
    controls.button(1, true);
    controls.button(2, true);   // SDL's middle
    controls.button(3, false);  // SDL's right
    controls.button(5, true);
    controls.button(9, true);  // no such button on the host
    controls.wheel(0, 1);
    controls.wheel(0, -0.25f);
    controls.wheel(0, -0.25f);
    controls.wheel(0.5f, 0);
    controls.pointer(ViewRect{0, 0, 101, 101}, 50, 100);
    controls.pointer(ViewRect{}, 50, 100);  // nothing shown yet
    EXPECT_EQ(host.sent,
              (std::vector<std::string>{"button 1 down", "button 3 down", "button 2 up",
                                        "button 5 down", "wheel 120", "wheel -30", "wheel -30",
                                        "hwheel 60", "pointer 32768,65535"}));
}

}  // namespace
}  // namespace vel::client
