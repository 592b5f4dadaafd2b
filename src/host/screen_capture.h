#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/geometry.h"

namespace vel::host {

struct CaptureOptions {
    // 0 is the primary monitor; N >= 1 the monitor at position N of the X server's list with the
    // primary moved to the front.
    std::uint32_t outputIndex = 0;
};

struct CursorState {
    bool visible = false;
    std::int32_t x = 0;  // relative to the captured output's top-left corner
    std::int32_t y = 0;
    std::uint32_t shapeId = 0;  // 0 while no shape has been captured
};

struct CursorShape {
    std::uint32_t id = 0;  // 1 for the object's first shape, then one more for each new shape
    std::int32_t hotX = 0;
    std::int32_t hotY = 0;
    std::uint32_t width = 0;  // 1..256
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;  // premultiplied BGRA, pitch width * 4
};

struct CapturedFrame {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // BGRA, pitch width * 4, alpha 255. Owned by the capture; valid until its next call.
    const std::uint8_t* pixels = nullptr;
    std::int64_t timestampUs = 0;  // MonotonicMicros when the frame was taken
    bool newImage = false;         // false: the previous image with an up-to-date pointer
    CursorState cursor;
};

enum class CaptureResult { Frame = 0, Timeout = 1, Lost = 2, Failed = 3 };

// The captured desktop. Used by one thread at a time.
class ScreenCapture {
  public:
    virtual ~ScreenCapture() = default;

    [[nodiscard]] virtual bool open(const CaptureOptions& options, std::string& error) = 0;
    // Releases everything open built and builds it again with the stored options (on a new
    // connection, so a restarted X server is picked up).
    [[nodiscard]] virtual bool reopen(std::string& error) = 0;
    // Waits up to timeoutMs for a new image or a pointer change. Lost: the screen changed size or
    // the connection broke; call reopen.
    virtual CaptureResult captureFrame(int timeoutMs, CapturedFrame& out) = 0;
    // False while no shape has been captured.
    virtual bool cursorShape(CursorShape& out) const = 0;
    virtual std::string methodName() const = 0;
    // The captured output in root-window coordinates.
    virtual Rect desktopRect() const = 0;
};

}  // namespace vel::host
