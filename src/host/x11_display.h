#pragma once

// Ownership of Xlib objects and the one way this library connects to the X server.

#include <X11/Xlib.h>
// X.h names a query class CursorShape; this library's type of that name is meant everywhere.
#undef CursorShape

#include <atomic>
#include <memory>
#include <string>

namespace vel::host {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// For everything Xlib and its extensions hand out to be released with XFree.
struct XFreeDeleter {
    void operator()(void* p) const {
        if (p) XFree(p);
    }
};
template <typename T>
using XFreePtr = std::unique_ptr<T, XFreeDeleter>;

// One connection to the X server named by DISPLAY. A connection that breaks makes later Xlib
// calls fail instead of ending the process (Xlib's default); lost() tells.
class X11Connection {
    struct Private {};

  public:
    explicit X11Connection(Private) {}

    // A Wayland session is refused with a plain reason (its windows are invisible to an X
    // client); without DISPLAY or a server the reason is "no X display".
    [[nodiscard]] static std::unique_ptr<X11Connection> open(std::string& error);

    // The checks open makes before connecting: not a Wayland session, DISPLAY set.
    [[nodiscard]] static bool sessionUsable(std::string& reason);

    Display* get() const { return display_.get(); }
    bool lost() const { return lost_.load(); }
    // DISPLAY as it was when the connection was made.
    const std::string& name() const { return name_; }

  private:
    static void markLost(Display*, void* self);

    DisplayPtr display_;
    std::atomic<bool> lost_{false};
    std::string name_;
};

// Catches the protocol errors of the requests made while it lives instead of letting Xlib's
// default handler end the process. failed() waits for the server's answers first.
class X11ErrorTrap {
  public:
    explicit X11ErrorTrap(Display* display);
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // The first error's code since construction (0 when none), after a round trip.
    int failed();

  private:
    Display* display_;
    int saved_;
};

}  // namespace vel::host
