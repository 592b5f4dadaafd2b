#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vel::viewer {

// Codec values of the stream protocol.
constexpr std::uint8_t kCodecH264 = 1;
constexpr std::uint8_t kCodecHevc = 2;

// Decode modes: software only, or hardware allowed (any other value).
constexpr int kDecodeSoftwareOnly = 2;

// One decoded picture in memory: NV12 (Y plane, then interleaved UV), width bytes a row.
struct DecodedFrame {
    int width = 0;
    int height = 0;
    std::int64_t timestampUs = 0;
    std::vector<std::uint8_t> nv12;
};

// An H.264 / HEVC decoder, used from one thread.
class VideoDecoder {
  public:
    virtual ~VideoDecoder() = default;
    [[nodiscard]] virtual bool open(std::uint8_t codec, int mode, std::string& error) = 0;
    // Feeds one Annex-B access unit and appends every frame that became ready. False when the
    // unit was refused (the reason is logged).
    virtual bool decode(std::span<const std::uint8_t> data, std::int64_t timestampUs, bool keyframe,
                        std::vector<DecodedFrame>& frames) = 0;
    virtual void flush() = 0;
    virtual std::string name() const = 0;
    virtual bool isHardware() const = 0;
    virtual std::uint8_t codec() const = 0;
};

}  // namespace vel::viewer
