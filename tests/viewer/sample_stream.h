#pragma once

// A short H.264 or HEVC stream made by ffmpeg, split into access units, for the decoder tests.

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "viewer/video_decoder.h"

namespace vel::viewer::sample {

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Splits a stream into access units at its access unit delimiters (H.264 header 0x09, HEVC 0x46).
inline std::vector<std::vector<std::uint8_t>> accessUnits(const std::vector<std::uint8_t>& stream,
                                                          std::uint8_t codec) {
    const std::uint8_t delimiter = codec == kCodecHevc ? 0x46 : 0x09;
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1 &&
            stream[i + 3] == delimiter) {
            starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
        }
    }
    std::vector<std::vector<std::uint8_t>> units;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        std::size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
        units.emplace_back(stream.begin() + std::ptrdiff_t(starts[k]),
                           stream.begin() + std::ptrdiff_t(end));
    }
    return units;
}

// ffmpeg's testsrc2 at 320x240, `frames` frames, a keyframe every 5, no B-frames, written to
// `path`; the ffmpeg result tells whether it worked.
inline vel::test::ProcessResult makeTestStream(std::uint8_t codec, int frames,
                                               const std::string& path) {
    const bool hevc = codec == kCodecHevc;
    // clang-format off
    return vel::test::RunProcess(
        {"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30",
         "-frames:v", std::to_string(frames), "-pix_fmt", "yuv420p",
         "-c:v", hevc ? "libx265" : "libx264", "-bf", "0", "-g", "5",
         "-bsf:v", hevc ? "hevc_metadata=aud=insert" : "h264_metadata=aud=insert", path});
    // clang-format on
}

}  // namespace vel::viewer::sample
