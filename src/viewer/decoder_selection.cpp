#include "viewer/decoder_selection.h"

#include "os/log.h"
#include "viewer/avcodec_decoder.h"
#include "viewer/nvdec_decoder.h"

namespace vel::viewer {

std::string decoderAvailability(std::uint8_t codec, int /*mode*/) {
    // libavcodec decodes both codecs in software, so the mode never rules a codec out here.
    if (avcodecDecodes(codec)) {
        return {};
    }
    return codec == kCodecHevc ? "no HEVC decoder is installed" : "no H.264 decoder is installed";
}

std::unique_ptr<VideoDecoder> createVideoDecoder(std::uint8_t codec, int mode, std::string& error) {
    if (codec == kCodecHevc && mode != kDecodeSoftwareOnly) {
        std::unique_ptr<VideoDecoder> nvdec = makeNvdecDecoder();
        std::string reason;
        if (nvdec->open(codec, mode, reason)) {
            return nvdec;
        }
        Log(LogLevel::Warn, "NVDEC HEVC unavailable (nvdec: %s); trying libavcodec",
            reason.c_str());
    }
    std::unique_ptr<VideoDecoder> decoder = makeAvcodecDecoder();
    if (!decoder->open(codec, mode, error)) {
        return nullptr;
    }
    return decoder;
}

}  // namespace vel::viewer
