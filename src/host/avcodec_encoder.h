#pragma once

#include <memory>
#include <vector>

#include "host/video_encoder.h"

namespace vel::host {

// The libavcodec encoder: libx264 / libx265 in software ("mf-sw"), VAAPI in hardware ("mf-hw").
// `open` restricts itself to hardware or software from the configuration's backend,
// allowHardware and hardwareOnly.
std::unique_ptr<VideoEncoder> makeAvcodecEncoder();

// The libavcodec encoders that could take NV12 for `codec` here: hardware (VAAPI, when a render
// node answers) first, then software.
std::vector<EncoderListEntry> avcodecEncoders(VideoCodec codec);

}  // namespace vel::host
