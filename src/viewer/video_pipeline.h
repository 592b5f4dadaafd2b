#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "stream/frame_assembler.h"
#include "viewer/picture.h"
#include "viewer/video_decoder.h"

namespace vel::viewer {

// Turns reassembled frames into pictures: opens a decoder for the frame's codec (again when the
// host switches codec), decodes, and converts to the format the engine hands out. One thread.
class VideoPipeline {
  public:
    VideoPipeline(int decodeMode, PictureFormat format) : mode_(decodeMode), format_(format) {}

    // False when the decoder refused the frame or none could be opened for its codec.
    [[nodiscard]] bool decode(const stream::AssembledFrame& frame, std::int64_t receivedAt,
                              std::vector<ViewerPicture>& pictures);

    // Empty before the first frame.
    std::string decoderName() const { return decoder_ ? decoder_->name() : std::string(); }
    bool hardware() const { return decoder_ && decoder_->isHardware(); }

  private:
    struct Pending {
        std::uint32_t frameId;
        std::uint64_t captureTimestamp;
        std::uint32_t encodeUs;
        std::int64_t receivedAt;
    };

    bool ensureDecoder(std::uint8_t codec);

    int mode_;
    PictureFormat format_;
    std::unique_ptr<VideoDecoder> decoder_;
    std::uint8_t failedCodec_ = 0;  // the codec whose decoder could not be opened, logged once
    std::deque<Pending> pending_;   // frames handed to the decoder, not yet out
    std::vector<DecodedFrame> decoded_;
};

}  // namespace vel::viewer
