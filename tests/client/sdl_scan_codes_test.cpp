#include "client/sdl_scan_codes.h"

#include <SDL2/SDL_scancode.h>
#include <gtest/gtest.h>

#include "host/scan_codes.h"

namespace vel::client {
namespace {

TEST(SdlScanCodes, KeysBecomeTheSetOneCodesTheHostInjects) {
    const auto key = [](SDL_Scancode scancode) { return SetOneKeyForScancode(scancode); };
    // Letters are seen end to end by the viewer's integration test. The pairs that differ only by
    // the extended flag must not be confused.
    EXPECT_EQ(key(SDL_SCANCODE_LCTRL), (SetOneKey{0x1D, false}));
    EXPECT_EQ(key(SDL_SCANCODE_RCTRL), (SetOneKey{0x1D, true}));
    EXPECT_EQ(key(SDL_SCANCODE_RETURN), (SetOneKey{0x1C, false}));
    EXPECT_EQ(key(SDL_SCANCODE_KP_ENTER), (SetOneKey{0x1C, true}));
    EXPECT_EQ(key(SDL_SCANCODE_KP_8), (SetOneKey{0x48, false}));
    EXPECT_EQ(key(SDL_SCANCODE_UP), (SetOneKey{0x48, true}));
    EXPECT_EQ(key(SDL_SCANCODE_KP_DIVIDE), (SetOneKey{0x35, true}));
    EXPECT_EQ(key(SDL_SCANCODE_DELETE), (SetOneKey{0x53, true}));
    EXPECT_EQ(key(SDL_SCANCODE_RALT), (SetOneKey{0x38, true}));
    EXPECT_FALSE(key(SDL_SCANCODE_UNKNOWN));
    EXPECT_FALSE(SetOneKeyForScancode(-1));
    EXPECT_FALSE(SetOneKeyForScancode(SDL_NUM_SCANCODES));

    // Every key the viewer can send is one the host knows how to press, and the evdev key it
    // presses is the one the key stands for on a Linux keyboard.
    int mapped = 0;
    for (int scancode = 0; scancode < SDL_NUM_SCANCODES; ++scancode) {
        const auto code = SetOneKeyForScancode(scancode);
        if (!code) continue;
        ++mapped;
        EXPECT_NE(host::evdevKeyFromScanCode(code->code, code->extended), 0u)
            << "SDL scancode " << scancode;
    }
    EXPECT_GT(mapped, 140);
    // KEY_LEFTMETA and KEY_SYSRQ.
    EXPECT_EQ(host::evdevKeyFromScanCode(key(SDL_SCANCODE_LGUI)->code, true), 125u);
    EXPECT_EQ(host::evdevKeyFromScanCode(key(SDL_SCANCODE_PRINTSCREEN)->code, true), 99u);
}

}  // namespace
}  // namespace vel::client
