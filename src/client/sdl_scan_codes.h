#pragma once

#include <cstdint>
#include <optional>

namespace vel::client {

// A key as the stream's key messages carry it: a scan code of set 1 and whether it is one of the
// keys that arrive behind the 0xE0 prefix.
struct SetOneKey {
    std::uint16_t code = 0;
    bool extended = false;
    bool operator==(const SetOneKey&) const = default;
};

// The set-1 key for an SDL scancode (SDL_Scancode, a USB HID usage); nothing for keys a PC
// keyboard does not have.
std::optional<SetOneKey> SetOneKeyForScancode(int scancode);

}  // namespace vel::client
