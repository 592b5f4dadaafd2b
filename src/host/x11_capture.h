#pragma once

#include <memory>

#include "host/screen_capture.h"

namespace vel::host {

// The two X11 capture methods, not yet opened: "X11 MIT-SHM" reads the screen into a shared
// memory segment (XShmGetImage); "X11 GetImage" has every image sent over the connection
// (XGetSubImage) and works where shared memory cannot, such as a remote X server.
std::unique_ptr<ScreenCapture> newShmCapture();
std::unique_ptr<ScreenCapture> newGetImageCapture();

}  // namespace vel::host
