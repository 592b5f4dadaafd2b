#pragma once

#include <cstdint>
#include <set>

#include "client/view_layout.h"
#include "stream/control_messages.h"

namespace vel::client {

// Where the window's input goes: the viewer engine in the program, a recorder in tests.
class ViewInputTarget {
  public:
    virtual ~ViewInputTarget() = default;
    virtual void key(std::uint16_t scanCode, bool down, bool extended) = 0;
    virtual void pointer(HostPoint point) = 0;
    virtual void button(std::uint8_t button, bool down) = 0;
    virtual void wheel(std::int16_t delta, bool horizontal) = 0;
    virtual void releaseAll() = 0;
    virtual void secureAttention() = 0;
    virtual void quality(const stream::QualityRequest& request) = 0;
};

// A key as the window saw it: its SDL scancode and the modifiers held at that moment.
struct KeyPress {
    int scancode = 0;
    bool down = false;
    bool repeat = false;
    bool ctrl = false;
    bool alt = false;
    bool shift = false;
};

// What the window itself must do after a key.
enum class ViewCommand { None, ToggleFullscreen, ToggleOverlay, Quit };

// The step the quality keys move the bias by.
inline constexpr int kBiasStep = 25;

// The viewer's keyboard and mouse: everything goes to the host except the viewer's own key
// combinations (listed in `velmora-client help`): Ctrl+Alt+End sends Ctrl+Alt+Del, and with
// Ctrl+Alt+Shift held, X toggles fullscreen, S the statistics, Up and Down move the bias towards
// picture quality or towards latency, A switches the automatic balance, Q quits.
class ViewControls {
  public:
    ViewControls(ViewInputTarget& target, const stream::QualityRequest& quality);

    ViewCommand key(const KeyPress& press);
    // A pointer position in window pixels over the picture shown at picture.
    void pointer(const ViewRect& picture, int x, int y);
    // SDL's button numbers: 1 left, 2 middle, 3 right, 4 and 5 the side buttons.
    void button(int sdlButton, bool down);
    // Wheel motion in notches (fractions from fine-grained wheels and touchpads add up).
    void wheel(float horizontal, float vertical);
    // The window lost the keyboard: nothing may stay pressed on the host.
    void focusLost();

    const stream::QualityRequest& quality() const { return quality_; }

  private:
    ViewCommand shortcut(const KeyPress& press, bool& taken);

    ViewInputTarget& target_;
    stream::QualityRequest quality_;
    std::set<int> swallowed_;  // scancodes whose press was a shortcut: their release is too
    std::set<int> held_;       // scancodes pressed on the host
    float wheelX_ = 0;
    float wheelY_ = 0;
};

}  // namespace vel::client
