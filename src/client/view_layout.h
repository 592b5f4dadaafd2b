#pragma once

#include <cstdint>

#include "stream/control_messages.h"

namespace vel::client {

// A rectangle in window pixels.
struct ViewRect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool operator==(const ViewRect&) const = default;
};

// The largest rectangle of the picture's shape that fits the window, centred (black bars fill
// the rest). Empty when either size is.
ViewRect FitPicture(int pictureWidth, int pictureHeight, int windowWidth, int windowHeight);

// An absolute pointer position as the host takes it: 0..65535 from the picture's first column
// (row) to its last.
struct HostPoint {
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    bool operator==(const HostPoint&) const = default;
};

// The host position under a window point; points beside the picture go to its nearest edge.
HostPoint ToHostPoint(const ViewRect& picture, int x, int y);

// Where the host's pointer image is drawn: the host reports its position in pixels of the
// captured screen, which the picture shows scaled; the hot spot lands on that position and the
// image scales with the picture. Empty when the position carries no screen size.
ViewRect PointerRect(const ViewRect& picture, const stream::PointerPosition& position,
                     const stream::PointerShape& shape);

}  // namespace vel::client
