// XTest injection: the X server treats these events as coming from its own core devices.
#include <X11/extensions/XTest.h>

#include "host/input_backend.h"
#include "host/x11_display.h"

namespace vel::host {
namespace {

class XTestInput final : public InputBackend {
  public:
    explicit XTestInput(std::unique_ptr<X11Connection> connection)
        : connection_(std::move(connection)) {}

    bool key(unsigned xKeyCode, bool down) override {
        return send([&](Display* d) { return XTestFakeKeyEvent(d, xKeyCode, down, CurrentTime); });
    }

    bool button(unsigned xButton, bool down) override {
        return send(
            [&](Display* d) { return XTestFakeButtonEvent(d, xButton, down, CurrentTime); });
    }

    bool moveTo(int x, int y) override {
        return send([&](Display* d) {
            return XTestFakeMotionEvent(d, DefaultScreen(d), x, y, CurrentTime);
        });
    }

    bool moveBy(int dx, int dy) override {
        return send(
            [&](Display* d) { return XTestFakeRelativeMotionEvent(d, dx, dy, CurrentTime); });
    }

    Rect virtualScreen() override {
        if (!usable()) return {};
        // Asked each time: the screen may have changed size since the connection was made.
        Window root = 0;
        int x = 0, y = 0;
        unsigned width = 0, height = 0, border = 0, depth = 0;
        Display* d = connection_->get();
        if (!XGetGeometry(d, DefaultRootWindow(d), &root, &x, &y, &width, &height, &border, &depth))
            return {};
        return {0, 0, static_cast<int>(width), static_cast<int>(height)};
    }

    bool reconnect() override {
        std::string error;
        auto fresh = X11Connection::open(error);
        if (!fresh || !hasXTest(fresh->get())) return false;
        connection_ = std::move(fresh);
        return true;
    }

    std::string displayName() const override { return connection_ ? connection_->name() : ""; }

    static bool hasXTest(Display* d) {
        int event = 0, error = 0, major = 0, minor = 0;
        return XTestQueryExtension(d, &event, &error, &major, &minor);
    }

  private:
    bool usable() const { return connection_ && !connection_->lost(); }

    // The event is written out at once; a server that has gone away shows as a lost connection.
    template <typename Call>
    bool send(Call call) {
        if (!usable()) return false;
        Display* d = connection_->get();
        if (!call(d)) return false;
        XFlush(d);
        // A round trip notices a server that closed the connection since the last event.
        XSync(d, False);
        return !connection_->lost();
    }

    std::unique_ptr<X11Connection> connection_;
};

}  // namespace

std::unique_ptr<InputBackend> openXTestInput(std::string& error) {
    auto connection = X11Connection::open(error);
    if (!connection) return nullptr;
    if (!XTestInput::hasXTest(connection->get())) {
        error = "the X server has no XTEST extension";
        return nullptr;
    }
    return std::make_unique<XTestInput>(std::move(connection));
}

}  // namespace vel::host
