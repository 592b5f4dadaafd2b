#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vel::host {

enum class EncoderBackend : std::uint8_t { Auto = 0, Nvenc = 1, MfHw = 2, MfSw = 3 };

// Values shared with the stream protocol; anything other than Hevc encodes as H.264.
enum class VideoCodec : std::uint8_t { H264 = 1, Hevc = 2 };

struct EncoderConfig {
    std::uint32_t width = 1920;
    std::uint32_t height = 1080;
    std::uint32_t fps = 60;  // 0 counts as 1 wherever it divides
    std::uint32_t bitrate = 10'000'000;
    VideoCodec codec = VideoCodec::H264;
    std::int32_t speed = 1;  // 0 best quality .. 2 fastest, clamped
    EncoderBackend backend = EncoderBackend::Auto;
    bool allowHardware = true;
    bool hardwareOnly = false;
};

struct EncodedFrame {
    std::vector<std::uint8_t>
        data;  // one Annex-B access unit; keyframes carry their parameter sets
    bool keyframe = false;
    std::int64_t timestampUs = 0;  // the capture timestamp given to the encode call
    std::uint32_t encodeLatencyUs = 0;
};

struct EncoderListEntry {
    EncoderBackend backend = EncoderBackend::Auto;
    std::string name;
    bool hardware = false;
};

using EncodedFrameCallback = std::function<void(EncodedFrame&&)>;

// An H.264/HEVC encoder fed NV12 frames (Y plane, then interleaved UV at half height). Submitting
// only queues (at most two frames, the oldest dropped); the encoder's own thread encodes and calls
// the output callback, once per access unit in output order. The callback must not call back in.
class VideoEncoder {
  public:
    virtual ~VideoEncoder() = default;
    [[nodiscard]] virtual bool open(const EncoderConfig& config, std::string& error,
                                    EncodedFrameCallback output) = 0;
    [[nodiscard]] virtual bool encodeNv12(const std::uint8_t* nv12, std::int64_t timestampUs,
                                          bool forceKeyframe) = 0;
    // Frames always come from memory here: no capture shares a GPU surface with the encoder.
    virtual bool acceptsTextures() const = 0;
    virtual std::int64_t queuedFrames() const = 0;
    virtual void setBitrate(std::uint32_t bitsPerSecond) = 0;
    virtual std::string name() const = 0;
    virtual bool isHardware() const = 0;
    virtual EncoderBackend backend() const = 0;
    virtual EncoderConfig config() const = 0;
};

// "nvenc" -> Nvenc; "mf-hw", "mf-hardware" -> MfHw; "mf-sw", "mf-software", "software" -> MfSw;
// anything else (case matters) -> Auto.
EncoderBackend parseEncoderBackend(const std::string& text);
const char* encoderBackendName(EncoderBackend backend);

// max(64,000, one and a half frames of data): the rate-control buffer every backend uses.
std::uint32_t encoderBufferBits(std::uint32_t bitrate, std::uint32_t fps);

}  // namespace vel::host
