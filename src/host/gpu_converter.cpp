#include "host/gpu_converter.h"

#include <atomic>

#include "os/log.h"

namespace vel::host {

bool GpuConverter::init(unsigned inWidth, unsigned inHeight, int outWidth, int outHeight,
                        std::string& error) {
    if (inWidth < 1 || inHeight < 1 || outWidth < 1 || outHeight < 1) {
        error = "bad converter arguments";
        return false;
    }
    error = "no GPU video processor for X11 captures";
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        Log(LogLevel::Info, "GPU converter unavailable (%s); frames go through memory",
            error.c_str());
    return false;
}

}  // namespace vel::host
