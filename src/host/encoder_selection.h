#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/video_encoder.h"

namespace vel::host {

// Tries the allowed backends in order (nvenc, mf-hw, mf-sw) and returns the first that opens, or
// null with every backend's reason in `error`.
std::unique_ptr<VideoEncoder> createVideoEncoder(const EncoderConfig& config, std::string& error,
                                                 EncodedFrameCallback output);

// What could encode `codec` on this machine: NVENC first, then hardware, then software encoders.
std::vector<EncoderListEntry> listEncoders(VideoCodec codec);

}  // namespace vel::host
