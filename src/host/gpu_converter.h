#pragma once

#include <string>

namespace vel::host {

// Scaling and NV12 conversion on the GPU. X11 captures are memory images and no video processor
// is used here, so the converter never builds: init explains why (logged once per process) and
// frames take the CPU path of pixel_convert.h.
class GpuConverter {
  public:
    [[nodiscard]] bool init(unsigned inWidth, unsigned inHeight, int outWidth, int outHeight,
                            std::string& error);
};

}  // namespace vel::host
