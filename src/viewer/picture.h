#pragma once

#include <cstdint>
#include <vector>

namespace vel::viewer {

// How the engine hands decoded pictures out: NV12 as the decoder made it (a window can upload it
// as is), or BGRA for code that wants plain pixels.
enum class PictureFormat : std::uint8_t { Nv12, Bgra };

// One decoded picture ready for display.
struct ViewerPicture {
    int width = 0;
    int height = 0;
    PictureFormat format = PictureFormat::Nv12;
    std::uint32_t frameId = 0;
    std::uint64_t captureTimestamp = 0;  // the host's clock, microseconds
    std::uint32_t hostEncodeUs = 0;      // how long the host's encoder took
    std::int64_t receivedAt = 0;         // this process's monotonic microseconds: frame complete
    std::int64_t decodedAt = 0;          // ... and decoded
    // NV12: the Y plane then interleaved CbCr, width bytes a row. BGRA: width * 4 bytes a row.
    std::vector<std::uint8_t> pixels;
};

}  // namespace vel::viewer
