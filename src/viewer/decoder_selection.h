#pragma once

#include <memory>
#include <string>

#include "viewer/video_decoder.h"

namespace vel::viewer {

// Empty when a decoder can be created for the codec under the mode, otherwise the reason.
std::string decoderAvailability(std::uint8_t codec, int mode);

// HEVC with hardware allowed tries NVDEC first; everything else, and HEVC when NVDEC fails, is
// decoded by libavcodec.
std::unique_ptr<VideoDecoder> createVideoDecoder(std::uint8_t codec, int mode, std::string& error);

}  // namespace vel::viewer
