#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel::client {

// One key going down or up, as a set-1 scan code (what the stream's key messages carry).
struct Keystroke {
    std::uint16_t scanCode = 0;
    bool down = false;
};

// The keystrokes that type text on a US keyboard: printable ASCII, tab and newline (Enter),
// with Left Shift held around the characters that need it. False with the first character that
// has no key.
[[nodiscard]] bool TextToKeystrokes(const std::string& text, std::vector<Keystroke>& out,
                                    std::string& error);

}  // namespace vel::client
