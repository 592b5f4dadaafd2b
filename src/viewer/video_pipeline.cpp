#include "viewer/video_pipeline.h"

#include <algorithm>

#include "core/time.h"
#include "os/log.h"
#include "viewer/decoder_selection.h"
#include "viewer/picture_convert.h"

namespace vel::viewer {
namespace {

// A decoder holds back at most a few frames; anything older is forgotten.
constexpr std::size_t kMaxPending = 16;

}  // namespace

bool VideoPipeline::ensureDecoder(std::uint8_t codec) {
    if (decoder_ && decoder_->codec() == codec) return true;
    decoder_.reset();
    pending_.clear();
    std::string error;
    decoder_ = createVideoDecoder(codec, mode_, error);
    if (!decoder_) {
        if (failedCodec_ != codec) {
            Log(LogLevel::Error, "viewer: no decoder for %s: %s",
                codec == kCodecHevc ? "HEVC" : "H.264", error.c_str());
        }
        failedCodec_ = codec;
        return false;
    }
    failedCodec_ = 0;
    return true;
}

bool VideoPipeline::decode(const stream::AssembledFrame& frame, std::int64_t receivedAt,
                           std::vector<ViewerPicture>& pictures) {
    if (!ensureDecoder(frame.codec)) return false;
    pending_.push_back({frame.frameId, frame.captureTimestamp,
                        static_cast<std::uint32_t>(frame.encodeDuration) * 10, receivedAt});
    if (pending_.size() > kMaxPending) pending_.pop_front();
    decoded_.clear();
    // The frame id travels through the decoder as the timestamp, so each picture finds its frame.
    if (!decoder_->decode(frame.data, frame.frameId, (frame.flags & 1) != 0, decoded_)) {
        return false;
    }
    const std::int64_t now = MonotonicMicros();
    for (DecodedFrame& decoded : decoded_) {
        ViewerPicture picture;
        picture.width = decoded.width;
        picture.height = decoded.height;
        picture.format = format_;
        picture.decodedAt = now;
        const auto id = static_cast<std::uint32_t>(decoded.timestampUs);
        const auto match = std::find_if(pending_.begin(), pending_.end(),
                                        [&](const Pending& p) { return p.frameId == id; });
        if (match != pending_.end()) {
            picture.frameId = match->frameId;
            picture.captureTimestamp = match->captureTimestamp;
            picture.receivedAt = match->receivedAt;
            picture.hostEncodeUs = match->encodeUs;
            pending_.erase(pending_.begin(), match + 1);
        }
        if (format_ == PictureFormat::Bgra) {
            nv12ToBgra(decoded.nv12.data(), decoded.width, decoded.height, picture.pixels);
        } else {
            picture.pixels = std::move(decoded.nv12);
        }
        pictures.push_back(std::move(picture));
    }
    return true;
}

}  // namespace vel::viewer
