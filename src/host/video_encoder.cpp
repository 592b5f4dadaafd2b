#include "host/video_encoder.h"

#include <algorithm>

namespace vel::host {

EncoderBackend parseEncoderBackend(const std::string& text) {
    if (text == "nvenc") {
        return EncoderBackend::Nvenc;
    }
    if (text == "mf-hw" || text == "mf-hardware") {
        return EncoderBackend::MfHw;
    }
    if (text == "mf-sw" || text == "mf-software" || text == "software") {
        return EncoderBackend::MfSw;
    }
    return EncoderBackend::Auto;
}

const char* encoderBackendName(EncoderBackend backend) {
    switch (backend) {
        case EncoderBackend::Nvenc:
            return "nvenc";
        case EncoderBackend::MfHw:
            return "mf-hw";
        case EncoderBackend::MfSw:
            return "mf-sw";
        default:
            return "auto";
    }
}

std::uint32_t encoderBufferBits(std::uint32_t bitrate, std::uint32_t fps) {
    const std::uint64_t frameAndHalf =
        std::uint64_t{bitrate} * 3 / 2 / std::max<std::uint32_t>(fps, 1);
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(frameAndHalf, 64'000, 0xFFFFFFFFu));
}

}  // namespace vel::host
