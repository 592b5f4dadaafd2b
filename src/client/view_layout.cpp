#include "client/view_layout.h"

#include <algorithm>
#include <cmath>

namespace vel::client {

namespace {

std::uint16_t toAbsolute(int offset, int size) {
    if (size <= 1) return 0;
    const double fraction = std::clamp(static_cast<double>(offset) / (size - 1), 0.0, 1.0);
    return static_cast<std::uint16_t>(std::lround(fraction * 65535.0));
}

}  // namespace

ViewRect FitPicture(int pictureWidth, int pictureHeight, int windowWidth, int windowHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0 || windowWidth <= 0 || windowHeight <= 0) {
        return {};
    }
    ViewRect rect;
    // Compare the aspects in integers: window wider than the picture means bars at the sides.
    if (static_cast<long long>(windowWidth) * pictureHeight >
        static_cast<long long>(windowHeight) * pictureWidth) {
        rect.h = windowHeight;
        rect.w = static_cast<int>(static_cast<long long>(windowHeight) * pictureWidth /
                                  pictureHeight);
    } else {
        rect.w = windowWidth;
        rect.h = static_cast<int>(static_cast<long long>(windowWidth) * pictureHeight /
                                  pictureWidth);
    }
    rect.x = (windowWidth - rect.w) / 2;
    rect.y = (windowHeight - rect.h) / 2;
    return rect;
}

HostPoint ToHostPoint(const ViewRect& picture, int x, int y) {
    return {toAbsolute(x - picture.x, picture.w), toAbsolute(y - picture.y, picture.h)};
}

ViewRect PointerRect(const ViewRect& picture, const stream::PointerPosition& position,
                     const stream::PointerShape& shape) {
    if (position.screenWidth == 0 || position.screenHeight == 0) return {};
    const double sx = static_cast<double>(picture.w) / position.screenWidth;
    const double sy = static_cast<double>(picture.h) / position.screenHeight;
    ViewRect rect;
    rect.x = picture.x + static_cast<int>(std::lround((position.x - shape.hotX) * sx));
    rect.y = picture.y + static_cast<int>(std::lround((position.y - shape.hotY) * sy));
    rect.w = std::max(1, static_cast<int>(std::lround(shape.width * sx)));
    rect.h = std::max(1, static_cast<int>(std::lround(shape.height * sy)));
    return rect;
}

}  // namespace vel::client
