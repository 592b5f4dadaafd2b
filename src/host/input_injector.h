#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include "host/geometry.h"
#include "host/input_backend.h"

namespace vel::host {

// Root-window pixel for a viewer position (0..65535 across the captured output): 0 is the
// output's first column or row, 65535 its last. Clamped into the virtual screen.
void mapAbsolutePosition(const Rect& output, const Rect& virtualScreen, std::uint16_t x,
                         std::uint16_t y, int& px, int& py);

// Injects the viewer's keyboard and mouse. Remembers what the viewer holds down so that it can
// all be released when the viewer goes away. Thread-safe: one mutex over everything.
class InputInjector {
  public:
    explicit InputInjector(std::unique_ptr<InputBackend> backend);
    // Releases whatever is still held.
    ~InputInjector();
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // The captured output in root-window pixels, for absolute moves. Logged with the virtual
    // screen.
    void setOutputRect(const Rect& rect);

    // One input message (type 40..46 and its fields); false when it is malformed or of another
    // type and was ignored.
    bool handleMessage(const std::uint8_t* data, std::size_t size);

    // scanCode: set 1; flags bit 0 down, bit 1 extended.
    bool key(std::uint16_t scanCode, std::uint8_t flags);
    // button 1 left, 2 right, 3 middle, 4 and 5 the side buttons; other numbers are ignored.
    bool mouseButton(std::uint8_t button, bool down);
    bool moveRelative(std::int16_t dx, std::int16_t dy);
    bool moveAbsolute(std::uint16_t x, std::uint16_t y);
    // delta in wheel units of 120 per notch; a rest below a notch waits for the next message.
    bool wheel(std::int16_t delta, bool horizontal);
    void releaseAll();

    std::uint64_t injected() const;
    std::uint64_t failed() const;
    std::string displayName() const;

  private:
    // Runs send; when it fails, reconnects and runs it once more. Counts the outcome.
    template <typename Send>
    bool inject(Send send);
    bool keyLocked(std::uint32_t keyId, bool down);
    bool buttonLocked(std::uint8_t button, bool down);

    mutable std::mutex mutex_;
    std::unique_ptr<InputBackend> backend_;  // guarded by mutex_
    Rect outputRect_;                        // guarded by mutex_
    std::set<std::uint32_t> heldKeys_;       // scan code | 0x10000 when extended; mutex_
    std::set<std::uint8_t> heldButtons_;     // mutex_
    int wheelRest_[2] = {0, 0};              // vertical, horizontal; mutex_
    std::uint64_t injected_ = 0;             // mutex_
    std::uint64_t failed_ = 0;               // mutex_
};

}  // namespace vel::host
