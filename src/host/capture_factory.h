#pragma once

#include <memory>
#include <string>

#include "host/screen_capture.h"

namespace vel::host {

// Opens the fastest method that works: MIT-SHM, else XGetImage. description names the method in
// use; on failure null, with both reasons in error.
std::unique_ptr<ScreenCapture> createScreenCapture(const CaptureOptions& options,
                                                   std::string& description, std::string& error);

}  // namespace vel::host
