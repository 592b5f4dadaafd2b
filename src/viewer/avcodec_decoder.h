#pragma once

#include <memory>

#include "viewer/video_decoder.h"

namespace vel::viewer {

// libavcodec's software H.264 and HEVC decoders.
std::unique_ptr<VideoDecoder> makeAvcodecDecoder();

// Whether libavcodec has a decoder for the codec.
bool avcodecDecodes(std::uint8_t codec);

}  // namespace vel::viewer
