#pragma once

#include <memory>
#include <string>

#include "viewer/video_decoder.h"

namespace vel::viewer {

// NVIDIA NVDEC through libcuda.so.1 and libnvcuvid.so.1, both loaded at run time.
std::unique_ptr<VideoDecoder> makeNvdecDecoder();

// Empty when both libraries load with every entry point, otherwise the reason.
std::string nvdecLibraryReason();

}  // namespace vel::viewer
