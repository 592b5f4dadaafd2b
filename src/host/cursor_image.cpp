#include "host/cursor_image.h"

#include <algorithm>

namespace vel::host {

bool cursorShapeFromXFixes(int width, int height, int hotX, int hotY, const unsigned long* argb,
                           CursorShape& out) {
    if (width < 1 || height < 1 || width > kMaxCursorSize || height > kMaxCursorSize) return false;
    const std::size_t count = static_cast<std::size_t>(width) * height;
    out.pixels.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned long p = argb[i];
        const std::uint8_t alpha = static_cast<std::uint8_t>(p >> 24);
        // A colour above its alpha is not premultiplied; keep the result well formed.
        out.pixels[4 * i] = std::min(alpha, static_cast<std::uint8_t>(p));
        out.pixels[4 * i + 1] = std::min(alpha, static_cast<std::uint8_t>(p >> 8));
        out.pixels[4 * i + 2] = std::min(alpha, static_cast<std::uint8_t>(p >> 16));
        out.pixels[4 * i + 3] = alpha;
    }
    out.width = static_cast<std::uint32_t>(width);
    out.height = static_cast<std::uint32_t>(height);
    out.hotX = hotX;
    out.hotY = hotY;
    return true;
}

bool cursorShapeInvisible(const CursorShape& shape) {
    for (std::size_t i = 3; i < shape.pixels.size(); i += 4)
        if (shape.pixels[i] != 0) return false;
    return true;
}

}  // namespace vel::host
