#include "viewer/avcodec_decoder.h"

#include <cstring>

#include "os/log.h"
#include "stream/av_ptr.h"

namespace vel::viewer {

using stream::AvCodecContextPtr;
using stream::avFailure;
using stream::AvFramePtr;
using stream::AvPacketPtr;
using stream::quietLibavLog;
namespace {

AVCodecID codecId(std::uint8_t codec) {
    return codec == kCodecHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
}

class AvcodecDecoder final : public VideoDecoder {
  public:
    bool open(std::uint8_t codec, int /*mode: software is all it does*/,
              std::string& error) override {
        codec_ = codec;
        quietLibavLog();
        const AVCodec* decoder = avcodec_find_decoder(codecId(codec));
        if (!decoder) {
            error = codec == kCodecHevc ? "no HEVC decoder is installed"
                                        : "no H.264 decoder is installed";
            return false;
        }
        context_.reset(avcodec_alloc_context3(decoder));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!context_ || !frame_ || !packet_) {
            error = "avcodec_alloc_context3 failed";
            return false;
        }
        // Slice threads only: frame threads would hold pictures back by one frame per thread.
        context_->thread_type = FF_THREAD_SLICE;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (int status = avcodec_open2(context_.get(), decoder, nullptr); status < 0) {
            error = avFailure("avcodec_open2", status);
            context_.reset();
            return false;
        }
        name_ = std::string("libavcodec ") + decoder->name;
        Log(LogLevel::Info, "decoder: %s (%s)", name_.c_str(), "software");
        return true;
    }

    bool decode(std::span<const std::uint8_t> data, std::int64_t timestampUs, bool keyframe,
                std::vector<DecodedFrame>& frames) override {
        if (!context_ || data.empty()) {
            return false;
        }
        if (int status = av_new_packet(packet_.get(), static_cast<int>(data.size())); status < 0) {
            Log(LogLevel::Warn, "%s", avFailure("decoder av_new_packet", status).c_str());
            return false;
        }
        std::memcpy(packet_->data, data.data(), data.size());
        packet_->pts = timestampUs;
        packet_->flags = keyframe ? AV_PKT_FLAG_KEY : 0;
        int status = avcodec_send_packet(context_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (status < 0 && status != AVERROR(EAGAIN)) {
            Log(LogLevel::Warn, "%s", avFailure("decoder avcodec_send_packet", status).c_str());
            return false;
        }
        while ((status = avcodec_receive_frame(context_.get(), frame_.get())) >= 0) {
            copyOut(frames);
            av_frame_unref(frame_.get());
        }
        if (status != AVERROR(EAGAIN) && status != AVERROR_EOF) {
            Log(LogLevel::Warn, "%s", avFailure("decoder avcodec_receive_frame", status).c_str());
        }
        return true;
    }

    void flush() override {
        if (context_) {
            avcodec_flush_buffers(context_.get());
        }
    }

    std::string name() const override { return name_; }
    bool isHardware() const override { return false; }
    std::uint8_t codec() const override { return codec_; }

  private:
    void copyOut(std::vector<DecodedFrame>& frames) {
        const AVFrame* f = frame_.get();
        const bool planar = f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P;
        if (!planar && f->format != AV_PIX_FMT_NV12) {
            Log(LogLevel::Warn, "decoder: picture format %d is not 8-bit 4:2:0; dropped",
                f->format);
            return;
        }
        DecodedFrame out;
        out.width = f->width & ~1;
        out.height = f->height & ~1;
        out.timestampUs = f->pts;
        const std::size_t w = static_cast<std::size_t>(out.width);
        const std::size_t h = static_cast<std::size_t>(out.height);
        out.nv12.resize(w * h * 3 / 2);
        for (std::size_t y = 0; y < h; ++y) {
            std::memcpy(out.nv12.data() + y * w, f->data[0] + y * f->linesize[0], w);
        }
        std::uint8_t* uv = out.nv12.data() + w * h;
        for (std::size_t y = 0; y < h / 2; ++y) {
            std::uint8_t* row = uv + y * w;
            if (!planar) {
                std::memcpy(row, f->data[1] + y * f->linesize[1], w);
                continue;
            }
            const std::uint8_t* u = f->data[1] + y * f->linesize[1];
            const std::uint8_t* v = f->data[2] + y * f->linesize[2];
            for (std::size_t x = 0; x < w / 2; ++x) {
                row[2 * x] = u[x];
                row[2 * x + 1] = v[x];
            }
        }
        frames.push_back(std::move(out));
    }

    std::uint8_t codec_ = kCodecH264;
    std::string name_;
    AvCodecContextPtr context_;
    AvFramePtr frame_;
    AvPacketPtr packet_;
};

}  // namespace

std::unique_ptr<VideoDecoder> makeAvcodecDecoder() {
    return std::make_unique<AvcodecDecoder>();
}

bool avcodecDecodes(std::uint8_t codec) {
    return avcodec_find_decoder(codecId(codec)) != nullptr;
}

}  // namespace vel::viewer
