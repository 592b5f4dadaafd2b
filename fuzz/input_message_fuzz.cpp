// Input messages from the viewer, as a stream of length-prefixed records, against a recording
// backend. Whatever arrives: key codes stay in X's range, buttons are X's 1..9, absolute moves stay
// on the virtual screen, and once the injector ends nothing is left pressed.
#include <cstdint>
#include <cstdlib>
#include <set>

#include "host/input_injector.h"

namespace {

class CheckingInput final : public vel::host::InputBackend {
  public:
    explicit CheckingInput(std::set<unsigned>& pressed) : pressed_(pressed) {}
    bool key(unsigned code, bool down) override {
        if (code < 8 || code > 255) std::abort();
        return track(code, down);
    }
    bool button(unsigned b, bool down) override {
        if (b < 1 || b > 9) std::abort();
        return track(1000 + b, down);
    }
    bool moveTo(int x, int y) override {
        if (x < 0 || y < 0 || x >= 1920 || y >= 1080) std::abort();
        return true;
    }
    bool moveBy(int, int) override { return true; }
    vel::host::Rect virtualScreen() override { return {0, 0, 1920, 1080}; }
    bool reconnect() override { return false; }
    std::string displayName() const override { return ":0"; }

  private:
    bool track(unsigned id, bool down) {
        if (down)
            pressed_.insert(id);
        else
            pressed_.erase(id);
        return true;
    }
    std::set<unsigned>& pressed_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::set<unsigned> pressed;
    {
        vel::host::InputInjector injector(std::make_unique<CheckingInput>(pressed));
        // An output partly beyond the screen, as after a resize.
        injector.setOutputRect({1000, 500, 2500, 1500});
        std::size_t at = 0;
        while (at < size) {
            const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
            injector.handleMessage(data + at + 1, length);
            at += 1 + length;
        }
    }
    // Wheel clicks are pressed and released at once; everything else was held and let go.
    if (!pressed.empty()) std::abort();
    return 0;
}
