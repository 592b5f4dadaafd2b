#include "client/view_controls.h"

#include <SDL2/SDL_scancode.h>

#include <algorithm>
#include <cmath>

#include "client/sdl_scan_codes.h"

namespace vel::client {

namespace {

constexpr int kWheelNotch = 120;

// SDL's order is left, middle, right; the host's is left, right, middle.
std::uint8_t hostButton(int sdlButton) {
    switch (sdlButton) {
        case 1: return 1;
        case 2: return 3;
        case 3: return 2;
        case 4: return 4;
        case 5: return 5;
        default: return 0;
    }
}

// Sends whole steps of accumulated wheel motion, keeping the remainder for later.
void flushWheel(float& accumulated, bool horizontal, ViewInputTarget& target) {
    const long steps = std::lround(accumulated * kWheelNotch);
    if (steps == 0) return;
    const auto delta = static_cast<std::int16_t>(std::clamp<long>(steps, -32768, 32767));
    accumulated -= static_cast<float>(delta) / kWheelNotch;
    target.wheel(delta, horizontal);
}

}  // namespace

ViewControls::ViewControls(ViewInputTarget& target, const stream::QualityRequest& quality)
    : target_(target), quality_(quality) {}

ViewCommand ViewControls::shortcut(const KeyPress& press, bool& taken) {
    taken = false;
    if (!press.ctrl || !press.alt) return ViewCommand::None;
    if (!press.shift) {
        if (press.scancode != SDL_SCANCODE_END) return ViewCommand::None;
        taken = true;
        if (!press.repeat) target_.secureAttention();
        return ViewCommand::None;
    }
    taken = true;
    switch (press.scancode) {
        case SDL_SCANCODE_X: return press.repeat ? ViewCommand::None : ViewCommand::ToggleFullscreen;
        case SDL_SCANCODE_S: return press.repeat ? ViewCommand::None : ViewCommand::ToggleOverlay;
        case SDL_SCANCODE_Q: return ViewCommand::Quit;
        case SDL_SCANCODE_UP:
        case SDL_SCANCODE_DOWN: {
            const int step = press.scancode == SDL_SCANCODE_UP ? kBiasStep : -kBiasStep;
            const int bias = std::clamp(quality_.bias + step, 0, 100);
            if (bias != quality_.bias) {
                quality_.bias = static_cast<std::uint8_t>(bias);
                target_.quality(quality_);
            }
            return ViewCommand::None;
        }
        case SDL_SCANCODE_A:
            if (!press.repeat) {
                quality_.automatic = !quality_.automatic;
                target_.quality(quality_);
            }
            return ViewCommand::None;
        default: taken = false; return ViewCommand::None;
    }
}

ViewCommand ViewControls::key(const KeyPress& press) {
    if (!press.down) {
        if (swallowed_.erase(press.scancode) > 0) return ViewCommand::None;
        if (held_.erase(press.scancode) == 0) return ViewCommand::None;
        if (const auto code = SetOneKeyForScancode(press.scancode)) {
            target_.key(code->code, false, code->extended);
        }
        return ViewCommand::None;
    }
    bool taken = false;
    const ViewCommand command = shortcut(press, taken);
    if (taken) {
        swallowed_.insert(press.scancode);
        return command;
    }
    // The host's own key repeat runs while the key is held; the local repeats would double it.
    if (press.repeat) return ViewCommand::None;
    if (const auto code = SetOneKeyForScancode(press.scancode)) {
        held_.insert(press.scancode);
        target_.key(code->code, true, code->extended);
    }
    return ViewCommand::None;
}

void ViewControls::pointer(const ViewRect& picture, int x, int y) {
    if (picture.w <= 0 || picture.h <= 0) return;
    target_.pointer(ToHostPoint(picture, x, y));
}

void ViewControls::button(int sdlButton, bool down) {
    const std::uint8_t button = hostButton(sdlButton);
    if (button != 0) target_.button(button, down);
}

void ViewControls::wheel(float horizontal, float vertical) {
    wheelX_ += horizontal;
    wheelY_ += vertical;
    flushWheel(wheelY_, false, target_);
    flushWheel(wheelX_, true, target_);
}

void ViewControls::focusLost() {
    held_.clear();
    swallowed_.clear();
    target_.releaseAll();
}

}  // namespace vel::client
