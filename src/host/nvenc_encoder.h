#pragma once

#include <memory>

#include "host/video_encoder.h"

namespace vel::host {

// NVIDIA NVENC on a CUDA context of the first GPU, fed NV12 frames from memory. Callers load the
// library first (loadNvencLibrary) so that a machine without the driver creates no object.
std::unique_ptr<VideoEncoder> makeNvencEncoder();

}  // namespace vel::host
