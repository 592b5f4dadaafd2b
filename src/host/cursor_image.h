#pragma once

#include "host/screen_capture.h"

namespace vel::host {

constexpr int kMaxCursorSize = 256;

// Builds a CursorShape (id left 0) from an XFixes cursor image: width * height pixels as Xlib
// hands them out, one unsigned long each holding premultiplied ARGB in its low 32 bits. False,
// leaving out untouched, when a side falls outside 1..256.
[[nodiscard]] bool cursorShapeFromXFixes(int width, int height, int hotX, int hotY,
                                         const unsigned long* argb, CursorShape& out);

// True when no pixel of the shape is visible (an application hid the pointer this way).
bool cursorShapeInvisible(const CursorShape& shape);

}  // namespace vel::host
