#include "host/input_injector.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "os/log.h"
#include "host/scan_codes.h"
#include "stream/control_messages.h"

namespace vel::host {
namespace {

constexpr std::uint32_t kExtendedKey = 0x10000;
constexpr int kWheelNotch = 120;

// Viewer buttons 1..5 (left, right, middle, back, forward) as X numbers them.
unsigned xButtonFor(std::uint8_t button) {
    static constexpr unsigned kMap[] = {0, 1, 3, 2, 8, 9};
    return button >= 1 && button <= 5 ? kMap[button] : 0;
}

}  // namespace

void mapAbsolutePosition(const Rect& output, const Rect& virtualScreen, std::uint16_t x,
                         std::uint16_t y, int& px, int& py) {
    const double fx = (output.right - output.left - 1) * (x / 65535.0) + output.left;
    const double fy = (output.bottom - output.top - 1) * (y / 65535.0) + output.top;
    px = std::clamp(static_cast<int>(std::floor(fx)), virtualScreen.left,
                    std::max(virtualScreen.left, virtualScreen.right - 1));
    py = std::clamp(static_cast<int>(std::floor(fy)), virtualScreen.top,
                    std::max(virtualScreen.top, virtualScreen.bottom - 1));
}

InputInjector::InputInjector(std::unique_ptr<InputBackend> backend)
    : backend_(std::move(backend)) {}

InputInjector::~InputInjector() {
    releaseAll();
}

template <typename Send>
bool InputInjector::inject(Send send) {
    bool ok = send();
    if (!ok && backend_->reconnect()) ok = send();
    ++(ok ? injected_ : failed_);
    return ok;
}

void InputInjector::setOutputRect(const Rect& rect) {
    std::lock_guard lock(mutex_);
    outputRect_ = rect;
    const Rect v = backend_->virtualScreen();
    Log(LogLevel::Info, "input mapping: output %ld,%ld-%ld,%ld, virtual screen %d,%d %dx%d",
        static_cast<long>(rect.left), static_cast<long>(rect.top), static_cast<long>(rect.right),
        static_cast<long>(rect.bottom), v.left, v.top, v.width(), v.height());
}

bool InputInjector::keyLocked(std::uint32_t keyId, bool down) {
    const unsigned evdev = evdevKeyFromScanCode(static_cast<std::uint16_t>(keyId & 0xFFFF),
                                                (keyId & kExtendedKey) != 0);
    if (evdev == 0) {
        ++failed_;
        return false;
    }
    if (down)
        heldKeys_.insert(keyId);
    else
        heldKeys_.erase(keyId);
    return inject([&] { return backend_->key(evdev + 8, down); });
}

bool InputInjector::key(std::uint16_t scanCode, std::uint8_t flags) {
    std::lock_guard lock(mutex_);
    return keyLocked(scanCode | ((flags & 2) ? kExtendedKey : 0), (flags & 1) != 0);
}

bool InputInjector::buttonLocked(std::uint8_t button, bool down) {
    const unsigned x = xButtonFor(button);
    if (x == 0) return false;
    if (down)
        heldButtons_.insert(button);
    else
        heldButtons_.erase(button);
    return inject([&] { return backend_->button(x, down); });
}

bool InputInjector::mouseButton(std::uint8_t button, bool down) {
    std::lock_guard lock(mutex_);
    return buttonLocked(button, down);
}

bool InputInjector::moveRelative(std::int16_t dx, std::int16_t dy) {
    std::lock_guard lock(mutex_);
    return inject([&] { return backend_->moveBy(dx, dy); });
}

bool InputInjector::moveAbsolute(std::uint16_t x, std::uint16_t y) {
    std::lock_guard lock(mutex_);
    return inject([&] {
        int px = 0, py = 0;
        mapAbsolutePosition(outputRect_, backend_->virtualScreen(), x, y, px, py);
        return backend_->moveTo(px, py);
    });
}

bool InputInjector::wheel(std::int16_t delta, bool horizontal) {
    std::lock_guard lock(mutex_);
    int& rest = wheelRest_[horizontal ? 1 : 0];
    rest += delta;
    const int notches = rest / kWheelNotch;
    rest -= notches * kWheelNotch;
    if (notches == 0) return true;
    // X wheels are buttons: 4 up, 5 down, 6 left, 7 right; a click per notch.
    const unsigned xButton = horizontal ? (notches > 0 ? 7 : 6) : (notches > 0 ? 4 : 5);
    return inject([&] {
        for (int i = 0; i < std::abs(notches); ++i)
            if (!backend_->button(xButton, true) || !backend_->button(xButton, false)) return false;
        return true;
    });
}

void InputInjector::releaseAll() {
    std::lock_guard lock(mutex_);
    const std::set<std::uint32_t> keys = std::exchange(heldKeys_, {});
    const std::set<std::uint8_t> buttons = std::exchange(heldButtons_, {});
    for (std::uint32_t id : keys) keyLocked(id, false);
    for (std::uint8_t b : buttons) buttonLocked(b, false);
}

bool InputInjector::handleMessage(const std::uint8_t* data, std::size_t size) {
    using namespace vel::stream;
    const MessageView message(data, size);
    const std::optional<std::uint8_t> id = messageId(message);
    if (!id) return false;
    switch (*id) {
        case kMsgKey:
            if (const auto e = decodeKeyEvent(message)) {
                key(e->scanCode, e->flags);
                return true;
            }
            return false;
        case kMsgPointerMove:
            if (const auto e = decodePointerMove(message)) {
                moveRelative(e->dx, e->dy);
                return true;
            }
            return false;
        case kMsgPointerAbsolute:
            if (const auto e = decodePointerAbsolute(message)) {
                moveAbsolute(e->x, e->y);
                return true;
            }
            return false;
        case kMsgMouseButton: {
            const auto e = decodeMouseButton(message);
            if (!e || xButtonFor(e->button) == 0) return false;
            mouseButton(e->button, e->down);
            return true;
        }
        case kMsgWheel:
            if (const auto e = decodeWheel(message)) {
                wheel(e->delta, e->horizontal);
                return true;
            }
            return false;
        case kMsgInputKeepAlive:
            return true;
        case kMsgReleaseAll:
            releaseAll();
            return true;
        default:
            return false;
    }
}

std::uint64_t InputInjector::injected() const {
    std::lock_guard lock(mutex_);
    return injected_;
}

std::uint64_t InputInjector::failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::string InputInjector::displayName() const {
    std::lock_guard lock(mutex_);
    return backend_->displayName();
}

}  // namespace vel::host
