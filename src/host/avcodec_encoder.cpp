#include "host/avcodec_encoder.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "host/annex_b.h"
#include "host/frame_queue.h"
#include "os/log.h"
#include "stream/av_ptr.h"

namespace vel::host {

using stream::AvBufferPtr;
using stream::AvCodecContextPtr;
using stream::avFailure;
using stream::AvFramePtr;
using stream::AvPacketPtr;
using stream::quietLibavLog;
namespace {

struct Candidate {
    const AVCodec* codec = nullptr;
    bool hardware = false;
};

const char* codecText(VideoCodec codec) {
    return codec == VideoCodec::Hevc ? "HEVC" : "H.264";
}

AvBufferPtr openVaapiDevice() {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0) {
        return nullptr;
    }
    return AvBufferPtr(device);
}

// Whether a VAAPI render node answers, asked once per process: opening a driver is slow.
bool vaapiAnswers() {
    static const bool answers = [] {
        quietLibavLog();
        return openVaapiDevice() != nullptr;
    }();
    return answers;
}

std::vector<Candidate> searchEncoders(VideoCodec codec, bool hardwareAllowed,
                                      bool softwareAllowed) {
    std::vector<Candidate> found;
    bool hevc = codec == VideoCodec::Hevc;
    if (hardwareAllowed && vaapiAnswers()) {
        if (const AVCodec* c = avcodec_find_encoder_by_name(hevc ? "hevc_vaapi" : "h264_vaapi")) {
            found.push_back({c, true});
        }
    }
    if (softwareAllowed) {
        if (const AVCodec* c = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264")) {
            found.push_back({c, false});
        }
    }
    return found;
}

bool takesPixelFormat(const AVCodec* codec, AVPixelFormat format) {
    for (const AVPixelFormat* p = codec->pix_fmts; p && *p != AV_PIX_FMT_NONE; ++p) {
        if (*p == format) {
            return true;
        }
    }
    return false;
}

const char* presetFor(int speed) {
    static const char* const presets[] = {"veryfast", "superfast", "ultrafast"};
    return presets[std::clamp(speed, 0, 2)];
}

class AvcodecEncoder final : public VideoEncoder {
  public:
    ~AvcodecEncoder() override { teardown(); }

    bool open(const EncoderConfig& config, std::string& error,
              EncodedFrameCallback output) override {
        teardown();
        quietLibavLog();
        config_ = config;
        output_ = std::move(output);
        const EncoderBackend b = config.backend;
        const bool hardwareAllowed = config.allowHardware && b != EncoderBackend::MfSw;
        const bool softwareAllowed =
            !config.hardwareOnly && (b == EncoderBackend::Auto || b == EncoderBackend::MfSw);
        std::vector<Candidate> candidates =
            searchEncoders(config.codec, hardwareAllowed, softwareAllowed);
        if (candidates.empty()) {
            error = std::string("no ") + codecText(config.codec) + " encoder is available";
            if (hardwareAllowed && !softwareAllowed) {
                error += " in hardware";
            } else if (!hardwareAllowed) {
                error += " in software";
            }
            return false;
        }
        std::string reasons;
        for (const Candidate& candidate : candidates) {
            std::string reason;
            if (configure(candidate, config_.bitrate, reason)) {
                candidate_ = candidate;
                break;
            }
            Log(LogLevel::Warn, "encoder %s rejected the configuration: %s", candidate.codec->name,
                reason.c_str());
            reasons += std::string(candidate.codec->name) + ": " + reason + "; ";
        }
        if (!context_) {
            error = "no encoder accepted the configuration: " + reasons;
            return false;
        }
        config_.backend = candidate_.hardware ? EncoderBackend::MfHw : EncoderBackend::MfSw;
        Log(LogLevel::Info, "encoder: %s (%s, %s, %s input) %dx%d@%d %u bps",
            candidate_.codec->name, candidate_.hardware ? "hardware" : "software", "sync", "memory",
            static_cast<int>(config_.width), static_cast<int>(config_.height),
            static_cast<int>(config_.fps), config_.bitrate);
        queue_ = std::make_unique<FrameQueue>();
        worker_ = std::thread([this] { work(); });
        return true;
    }

    bool encodeNv12(const std::uint8_t* nv12, std::int64_t timestampUs,
                    bool forceKeyframe) override {
        if (!queue_ || nv12 == nullptr) {
            return false;
        }
        const std::size_t size = std::size_t{config_.width} * config_.height * 3 / 2;
        queue_->push({std::vector<std::uint8_t>(nv12, nv12 + size), timestampUs, forceKeyframe,
                      std::chrono::steady_clock::now()});
        return true;
    }

    bool acceptsTextures() const override { return false; }
    std::int64_t queuedFrames() const override { return queue_ ? queue_->size() : 0; }

    void setBitrate(std::uint32_t bitsPerSecond) override {
        std::lock_guard lock(configMutex_);
        if (bitsPerSecond == 0 || bitsPerSecond == config_.bitrate) {
            return;
        }
        config_.bitrate = bitsPerSecond;
        pendingBitrate_ = bitsPerSecond;
    }

    std::string name() const override { return candidate_.codec ? candidate_.codec->name : ""; }
    bool isHardware() const override { return candidate_.hardware; }
    EncoderBackend backend() const override { return config_.backend; }
    EncoderConfig config() const override {
        std::lock_guard lock(configMutex_);
        return config_;
    }

  private:
    struct Timing {
        std::int64_t pts = 0;
        std::int64_t timestampUs = 0;
        std::chrono::steady_clock::time_point submitted;
    };

    bool configure(const Candidate& candidate, std::uint32_t bitrate, std::string& reason) {
        const bool hevc = config_.codec == VideoCodec::Hevc;
        const int fps = static_cast<int>(std::max<std::uint32_t>(config_.fps, 1));
        // H.264 asks for High first and settles for Main; HEVC is Main only.
        const std::vector<const char*> profiles =
            hevc ? std::vector<const char*>{"main"} : std::vector<const char*>{"high", "main"};
        for (const char* profile : profiles) {
            AvCodecContextPtr context(avcodec_alloc_context3(candidate.codec));
            if (!context) {
                reason = "avcodec_alloc_context3 failed";
                return false;
            }
            AVCodecContext* c = context.get();
            c->width = static_cast<int>(config_.width);
            c->height = static_cast<int>(config_.height);
            c->time_base = {1, fps};
            c->framerate = {fps, 1};
            c->sample_aspect_ratio = {1, 1};
            c->bit_rate = bitrate;
            c->rc_max_rate = bitrate;
            c->rc_buffer_size = static_cast<int>(encoderBufferBits(bitrate, config_.fps));
            c->max_b_frames = 0;
            c->color_range = AVCOL_RANGE_MPEG;
            c->color_primaries = AVCOL_PRI_BT709;
            c->color_trc = AVCOL_TRC_BT709;
            c->colorspace = AVCOL_SPC_BT709;
            c->field_order = AV_FIELD_PROGRESSIVE;
            c->flags |= AV_CODEC_FLAG_LOW_DELAY;
            AvBufferPtr device;
            if (candidate.hardware) {
                if (!configureVaapi(c, device, reason)) {
                    return false;
                }
                c->profile = hevc ? FF_PROFILE_HEVC_MAIN
                                  : (std::strcmp(profile, "high") == 0 ? FF_PROFILE_H264_HIGH
                                                                       : FF_PROFILE_H264_MAIN);
            } else {
                c->pix_fmt = takesPixelFormat(candidate.codec, AV_PIX_FMT_NV12)
                                 ? AV_PIX_FMT_NV12
                                 : AV_PIX_FMT_YUV420P;
                configureSoftware(c, profile, hevc);
            }
            int status = avcodec_open2(c, candidate.codec, nullptr);
            if (status < 0) {
                reason = avFailure("avcodec_open2", status);
                continue;
            }
            AvFramePtr frame(av_frame_alloc());
            AvPacketPtr packet(av_packet_alloc());
            if (!frame || !packet) {
                reason = "av_frame_alloc failed";
                return false;
            }
            frame->format = candidate.hardware ? AV_PIX_FMT_NV12 : c->pix_fmt;
            frame->width = c->width;
            frame->height = c->height;
            if ((status = av_frame_get_buffer(frame.get(), 0)) < 0) {
                reason = avFailure("av_frame_get_buffer", status);
                return false;
            }
            context_ = std::move(context);
            firstFrame_ = true;
            device_ = std::move(device);
            frame_ = std::move(frame);
            packet_ = std::move(packet);
            return true;
        }
        return false;
    }

    void configureSoftware(AVCodecContext* c, const char* profile, bool hevc) {
        void* options = c->priv_data;
        av_opt_set(options, "preset", presetFor(config_.speed), 0);
        av_opt_set(options, "tune", "zerolatency", 0);
        av_opt_set(options, "profile", profile, 0);
        av_opt_set_int(options, "forced-idr", 1, 0);
        // One keyframe at the start and then only on request; scene cuts would add intra frames
        // the stream did not ask for.
        if (hevc) {
            av_opt_set(options, "x265-params",
                       "keyint=-1:scenecut=0:open-gop=0:repeat-headers=1:log-level=error", 0);
        } else {
            av_opt_set(options, "x264-params", "keyint=infinite:scenecut=0:repeat-headers=1", 0);
        }
    }

    bool configureVaapi(AVCodecContext* c, AvBufferPtr& device, std::string& reason) {
        device = openVaapiDevice();
        if (!device) {
            reason = "no VAAPI render node answers";
            return false;
        }
        AvBufferPtr frames(av_hwframe_ctx_alloc(device.get()));
        if (!frames) {
            reason = "av_hwframe_ctx_alloc failed";
            return false;
        }
        auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
        pool->format = AV_PIX_FMT_VAAPI;
        pool->sw_format = AV_PIX_FMT_NV12;
        pool->width = c->width;
        pool->height = c->height;
        pool->initial_pool_size = 4;
        if (int status = av_hwframe_ctx_init(frames.get()); status < 0) {
            reason = avFailure("av_hwframe_ctx_init", status);
            return false;
        }
        c->pix_fmt = AV_PIX_FMT_VAAPI;
        c->hw_frames_ctx = av_buffer_ref(frames.get());
        c->gop_size = static_cast<int>(std::max<std::uint32_t>(config_.fps, 1) * 600);
        c->compression_level = std::clamp(config_.speed, 0, 2) * 3 + 1;
        av_opt_set(c->priv_data, "rc_mode", "CBR", 0);
        av_opt_set_int(c->priv_data, "async_depth", 1, 0);
        return true;
    }

    void teardown() {
        if (queue_) {
            queue_->stop();
        }
        if (worker_.joinable()) {
            worker_.join();
        }
        queue_.reset();
        packet_.reset();
        frame_.reset();
        context_.reset();
        device_.reset();
        timings_.clear();
        sequenceHeader_.clear();
        feedLogged_ = 0;
        nextPts_ = 0;
    }

    void work() {
        while (std::optional<EncodeJob> job = queue_->take()) {
            applyPendingBitrate();
            if (context_) {
                encode(*job);
            }
        }
    }

    // libx264 takes a new rate in place; the others are reopened, and start again with an IDR.
    void applyPendingBitrate() {
        std::uint32_t bitrate = 0;
        {
            std::lock_guard lock(configMutex_);
            bitrate = std::exchange(pendingBitrate_, 0);
        }
        if (bitrate == 0) {
            return;
        }
        if (!candidate_.hardware && config_.codec != VideoCodec::Hevc) {
            context_->bit_rate = bitrate;
            context_->rc_max_rate = bitrate;
            context_->rc_buffer_size = static_cast<int>(encoderBufferBits(bitrate, config_.fps));
            return;
        }
        context_.reset();
        std::string reason;
        if (!configure(candidate_, bitrate, reason)) {
            Log(LogLevel::Warn, "encoder %s could not take the bitrate %u: %s",
                candidate_.codec->name, bitrate, reason.c_str());
        }
    }

    bool fillFrame(const EncodeJob& job) {
        if (av_frame_make_writable(frame_.get()) < 0) {
            return false;
        }
        const int w = static_cast<int>(config_.width);
        const int h = static_cast<int>(config_.height);
        const std::uint8_t* y = job.nv12.data();
        const std::uint8_t* uv = y + std::size_t(w) * h;
        for (int row = 0; row < h; ++row) {
            std::memcpy(frame_->data[0] + std::ptrdiff_t(row) * frame_->linesize[0],
                        y + std::size_t(row) * w, w);
        }
        for (int row = 0; row < h / 2; ++row) {
            const std::uint8_t* src = uv + std::size_t(row) * w;
            if (frame_->format == AV_PIX_FMT_NV12) {
                std::memcpy(frame_->data[1] + std::ptrdiff_t(row) * frame_->linesize[1], src, w);
                continue;
            }
            std::uint8_t* u = frame_->data[1] + std::ptrdiff_t(row) * frame_->linesize[1];
            std::uint8_t* v = frame_->data[2] + std::ptrdiff_t(row) * frame_->linesize[2];
            for (int x = 0; x < w / 2; ++x) {
                u[x] = src[2 * x];
                v[x] = src[2 * x + 1];
            }
        }
        return true;
    }

    void encode(const EncodeJob& job) {
        if (!fillFrame(job)) {
            Log(LogLevel::Warn, "encoder %s: no writable frame", candidate_.codec->name);
            return;
        }
        AVFrame* input = frame_.get();
        AvFramePtr surface;
        if (candidate_.hardware) {
            surface.reset(av_frame_alloc());
            if (!surface || av_hwframe_get_buffer(context_->hw_frames_ctx, surface.get(), 0) < 0 ||
                av_hwframe_transfer_data(surface.get(), frame_.get(), 0) < 0) {
                Log(LogLevel::Warn, "encoder %s: upload to the GPU failed", candidate_.codec->name);
                return;
            }
            input = surface.get();
        }
        // The first frame after a (re)open is an IDR with parameter sets without being asked.
        const bool key = job.forceKeyframe || std::exchange(firstFrame_, false);
        input->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        input->pts = nextPts_++;
        timings_.push_back({input->pts, job.timestampUs, job.submitted});
        if (timings_.size() > 64) {
            timings_.pop_front();
        }
        int status = avcodec_send_frame(context_.get(), input);
        if (feedLogged_ < 4) {
            Log(LogLevel::Info, "encoder feedInput #%d: 0x%08lX", feedLogged_++,
                static_cast<unsigned long>(static_cast<std::uint32_t>(status)));
        }
        if (status < 0) {
            Log(LogLevel::Warn, "%s", avFailure("avcodec_send_frame", status).c_str());
            return;
        }
        drain();
    }

    void drain() {
        for (;;) {
            int status = avcodec_receive_packet(context_.get(), packet_.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
                return;
            }
            if (status < 0) {
                Log(LogLevel::Warn, "%s", avFailure("avcodec_receive_packet", status).c_str());
                return;
            }
            EncodedFrame out;
            out.data.assign(packet_->data, packet_->data + packet_->size);
            out.keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
            const std::int64_t pts = packet_->pts;
            av_packet_unref(packet_.get());
            while (!timings_.empty() && timings_.front().pts < pts) {
                timings_.pop_front();
            }
            if (!timings_.empty() && timings_.front().pts == pts) {
                out.timestampUs = timings_.front().timestampUs;
                out.encodeLatencyUs = elapsedUs32(timings_.front().submitted);
                timings_.pop_front();
            }
            if (out.data.empty()) {
                continue;
            }
            if (out.keyframe) {
                std::vector<std::uint8_t> sets = parameterSetsOf(out.data, config_.codec);
                if (!sets.empty()) {
                    sequenceHeader_ = std::move(sets);
                } else {
                    ensureParameterSets(out.data, sequenceHeader_, config_.codec);
                }
            }
            output_(std::move(out));
        }
    }

    EncoderConfig config_;              // guarded by configMutex_ once the worker runs
    std::uint32_t pendingBitrate_ = 0;  // guarded by configMutex_
    mutable std::mutex configMutex_;
    EncodedFrameCallback output_;
    Candidate candidate_;
    // Owned by the worker thread while it runs.
    AvCodecContextPtr context_;
    AvBufferPtr device_;
    AvFramePtr frame_;
    AvPacketPtr packet_;
    std::deque<Timing> timings_;
    std::vector<std::uint8_t> sequenceHeader_;
    std::int64_t nextPts_ = 0;
    bool firstFrame_ = true;
    int feedLogged_ = 0;
    std::unique_ptr<FrameQueue> queue_;
    std::thread worker_;
};

}  // namespace

std::unique_ptr<VideoEncoder> makeAvcodecEncoder() {
    return std::make_unique<AvcodecEncoder>();
}

std::vector<EncoderListEntry> avcodecEncoders(VideoCodec codec) {
    std::vector<EncoderListEntry> entries;
    for (const Candidate& c : searchEncoders(codec, true, true)) {
        entries.push_back(
            {c.hardware ? EncoderBackend::MfHw : EncoderBackend::MfSw, c.codec->name, c.hardware});
    }
    return entries;
}

}  // namespace vel::host
