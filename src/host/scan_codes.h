#pragma once

#include <cstdint>

namespace vel::host {

// The Linux evdev key code (KEY_*) of a PC set-1 scan code, with the E0 prefix given as the
// extended flag; 0 for codes with no key. X key codes are these plus 8. docs/capture-input.md
// lists the whole table.
unsigned evdevKeyFromScanCode(std::uint16_t scanCode, bool extended);

}  // namespace vel::host
