#include "host/x11_display.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace vel::host {
namespace {

// The error of the calling thread's innermost trap. Xlib calls the handler on the thread whose
// request it is reading the answer for, which is the thread that made the request.
thread_local int trappedError = 0;
thread_local int trapDepth = 0;

int recordError(Display*, XErrorEvent* event) {
    if (trapDepth > 0 && trappedError == 0) trappedError = event->error_code;
    return 0;
}

// The connection's own exit handler records the loss; this one only keeps Xlib from printing.
int quietIoError(Display*) {
    return 0;
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(quietIoError);
        // A write to an X server that has gone away must fail, not end the process.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            signal(SIGPIPE, SIG_IGN);
    });
}

bool waylandSession() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    return type && std::strcmp(type, "wayland") == 0;
}

}  // namespace

bool X11Connection::sessionUsable(std::string& reason) {
    if (waylandSession()) {
        reason =
            "this is a Wayland session; only X11 sessions (Xorg, xrdp) can be captured and "
            "controlled";
        return false;
    }
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        reason = "no X display";
        return false;
    }
    return true;
}

std::unique_ptr<X11Connection> X11Connection::open(std::string& error) {
    installHandlers();
    if (!sessionUsable(error)) return nullptr;
    const char* name = std::getenv("DISPLAY");
    auto connection = std::make_unique<X11Connection>(Private{});
    connection->display_.reset(XOpenDisplay(name));
    if (!connection->display_) {
        error = "no X display";
        return nullptr;
    }
    connection->name_ = name;
    XSetIOErrorExitHandler(connection->get(), markLost, connection.get());
    return connection;
}

void X11Connection::markLost(Display*, void* self) {
    static_cast<X11Connection*>(self)->lost_ = true;
}

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display), saved_(trappedError) {
    installHandlers();
    ++trapDepth;
    trappedError = 0;
}

X11ErrorTrap::~X11ErrorTrap() {
    --trapDepth;
    trappedError = saved_;
}

int X11ErrorTrap::failed() {
    XSync(display_, False);
    return trappedError;
}

}  // namespace vel::host
