#include "host/capture_factory.h"

#include <cstdlib>

#include "os/log.h"
#include "host/x11_capture.h"
#include "host/x11_display.h"

namespace vel::host {

std::unique_ptr<ScreenCapture> createScreenCapture(const CaptureOptions& options,
                                                   std::string& description, std::string& error) {
    std::string shmReason;
    if (!X11Connection::sessionUsable(shmReason)) {
        Log(LogLevel::Warn, "capture: %s; X11 MIT-SHM skipped", shmReason.c_str());
    } else {
        // The display name stands where a desktop name would: it says which session is captured.
        Log(LogLevel::Info, "capture: trying X11 MIT-SHM on display '%s'", std::getenv("DISPLAY"));
        std::unique_ptr<ScreenCapture> shm = newShmCapture();
        if (shm->open(options, shmReason)) {
            description = shm->methodName();
            return shm;
        }
        Log(LogLevel::Warn, "capture: X11 MIT-SHM unavailable (%s); trying X11 GetImage",
            shmReason.c_str());
    }

    std::string getImageReason;
    std::unique_ptr<ScreenCapture> capture = newGetImageCapture();
    if (capture->open(options, getImageReason)) {
        description = "X11 GetImage (X11 MIT-SHM unavailable: " + shmReason + ")";
        return capture;
    }
    Log(LogLevel::Error, "capture: X11 GetImage unavailable too (%s)", getImageReason.c_str());
    error = "no capture method works: MIT-SHM: " + shmReason + "; GetImage: " + getImageReason;
    return nullptr;
}

}  // namespace vel::host
