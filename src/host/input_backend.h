#pragma once

#include <memory>
#include <string>

#include "host/geometry.h"

namespace vel::host {

// Where injected input goes: the X server through XTest, or a test's recorder. Every call
// reports whether the event reached the server.
class InputBackend {
  public:
    virtual ~InputBackend() = default;

    virtual bool key(unsigned xKeyCode, bool down) = 0;
    virtual bool button(unsigned xButton, bool down) = 0;
    // Moves the pointer to a root-window pixel, or by a distance.
    virtual bool moveTo(int x, int y) = 0;
    virtual bool moveBy(int dx, int dy) = 0;
    // The root window: the whole virtual screen.
    virtual Rect virtualScreen() = 0;
    // Opens a fresh connection after the last one was lost (the X counterpart of attaching to the
    // input desktop). False when no server answers.
    virtual bool reconnect() = 0;
    virtual std::string displayName() const = 0;
};

// XTest on the display named by DISPLAY.
[[nodiscard]] std::unique_ptr<InputBackend> openXTestInput(std::string& error);

}  // namespace vel::host
