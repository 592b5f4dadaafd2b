#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "host/annex_b.h"
#include "host/bench_pattern.h"
#include "host/encoder_selection.h"
#include "viewer/decoder_selection.h"

namespace vel::host {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

// Collects what an encoder hands out; a test can hold the encoder's thread inside the callback.
class Sink {
  public:
    void operator()(EncodedFrame&& frame) {
        std::unique_lock lock(mutex_);
        frames_.push_back(std::move(frame));
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_; });
    }

    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return frames_.size() >= count; });
    }

    void hold(bool on) {
        std::lock_guard lock(mutex_);
        held_ = on;
        changed_.notify_all();
    }

    std::vector<EncodedFrame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<EncodedFrame> frames_;  // guarded by mutex_
    bool held_ = false;                 // guarded by mutex_
};

double lumaPsnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    double squared = 0;
    const std::size_t pixels = std::size_t(kWidth) * kHeight;
    for (std::size_t i = 0; i < pixels; ++i) {
        double d = double(a[i]) - double(b[i]);
        squared += d * d;
    }
    return squared == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * double(pixels) / squared);
}

class SoftwareEncoder : public ::testing::TestWithParam<VideoCodec> {
  protected:
    VideoCodec codec() const { return GetParam(); }

    [[nodiscard]] bool open(std::uint32_t bitrate) {
        EncoderConfig config;
        config.width = kWidth;
        config.height = kHeight;
        config.fps = 30;
        config.bitrate = bitrate;
        config.codec = codec();
        config.backend = EncoderBackend::MfSw;
        std::string error;
        encoder_ =
            createVideoEncoder(config, error, [this](EncodedFrame&& f) { sink_(std::move(f)); });
        EXPECT_NE(encoder_, nullptr) << error;
        return encoder_ != nullptr;
    }

    // Submits frames one at a time, each after the previous one came out, so none is dropped.
    void encodeInTurn(const std::vector<std::vector<std::uint8_t>>& frames, std::size_t keyAt,
                      std::int64_t firstTimestamp = 0) {
        const std::size_t base = sink_.frames().size();
        for (std::size_t i = 0; i < frames.size(); ++i) {
            ASSERT_TRUE(encoder_->encodeNv12(
                frames[i].data(), firstTimestamp + std::int64_t(i) * 33'333, i == keyAt));
            ASSERT_TRUE(sink_.waitFor(base + i + 1)) << "no output for frame " << i;
        }
    }

    Sink sink_;
    std::unique_ptr<VideoEncoder> encoder_;  // declared after the sink: it stops first
};

// Our decoder gives every picture back at once (no B-frames, no held-back output), keyframes
// come only at the start and where asked, each an IDR with its parameter sets in front.
TEST_P(SoftwareEncoder, RoundTripKeepsPictureKeyframesAndParameterSets) {
    const std::vector<std::vector<std::uint8_t>> input = makeBenchFrames(kWidth, kHeight, 12);
    ASSERT_TRUE(open(20'000'000));
    constexpr std::size_t kRequested = 7;
    encodeInTurn(input, kRequested);
    const std::vector<EncodedFrame> out = sink_.frames();
    ASSERT_EQ(out.size(), input.size());

    std::string error;
    std::unique_ptr<viewer::VideoDecoder> decoder = viewer::createVideoDecoder(
        codec() == VideoCodec::Hevc ? viewer::kCodecHevc : viewer::kCodecH264,
        viewer::kDecodeSoftwareOnly, error);
    ASSERT_NE(decoder, nullptr) << error;
    for (std::size_t i = 0; i < out.size(); ++i) {
        SCOPED_TRACE(i);
        const EncodedFrame& frame = out[i];
        EXPECT_EQ(frame.timestampUs, std::int64_t(i) * 33'333);
        EXPECT_EQ(frame.keyframe, i == 0 || i == kRequested);
        EXPECT_EQ(beginsWithParameterSets(frame.data, codec()), frame.keyframe);
        if (frame.keyframe) {
            bool idr = false;
            for (const NalUnit& nal : splitAnnexB(frame.data)) {
                int type = nalType(nal, codec());
                idr = idr || (codec() == VideoCodec::Hevc ? type == 19 || type == 20 : type == 5);
            }
            EXPECT_TRUE(idr);
        }
        std::vector<viewer::DecodedFrame> decoded;
        ASSERT_TRUE(decoder->decode(frame.data, frame.timestampUs, frame.keyframe, decoded));
        ASSERT_EQ(decoded.size(), 1u) << "the decoder held pictures back";
        EXPECT_EQ(decoded[0].width, kWidth);
        EXPECT_GT(lumaPsnr(input[i], decoded[0].nv12), 35.0);
    }

    // A damaged unit gives no picture and does not wedge the decoder: the next keyframe decodes.
    decoder->flush();
    std::vector<viewer::DecodedFrame> decoded;
    const std::uint8_t damaged[] = {0, 0, 0, 1, 0xFF, 0xFF, 0x13, 0x37};
    static_cast<void>(decoder->decode(damaged, 0, false, decoded));
    EXPECT_TRUE(decoded.empty());
    ASSERT_TRUE(decoder->decode(out[kRequested].data, 1, true, decoded));
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_GT(lumaPsnr(input[kRequested], decoded[0].nv12), 35.0);
}

TEST_P(SoftwareEncoder, StalledConsumerLosesTheOldestQueuedFrame) {
    ASSERT_TRUE(open(2'000'000));
    std::vector<std::vector<std::uint8_t>> frames = makeBenchFrames(kWidth, kHeight, 4);
    sink_.hold(true);
    ASSERT_TRUE(encoder_->encodeNv12(frames[0].data(), 0, false));
    ASSERT_TRUE(sink_.waitFor(1));  // the encoder's thread now waits inside the callback
    for (int i = 1; i < 4; ++i) {
        ASSERT_TRUE(encoder_->encodeNv12(frames[std::size_t(i)].data(), i, false));
    }
    EXPECT_EQ(encoder_->queuedFrames(), 2);
    sink_.hold(false);
    ASSERT_TRUE(sink_.waitFor(3));
    const std::vector<EncodedFrame> out = sink_.frames();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].timestampUs, 0);
    EXPECT_EQ(out[1].timestampUs, 2);
    EXPECT_EQ(out[2].timestampUs, 3);
    EXPECT_EQ(encoder_->queuedFrames(), 0);
}

TEST_P(SoftwareEncoder, BitrateChangeShowsInTheOutputSize) {
    ASSERT_TRUE(open(3'000'000));
    const std::vector<std::vector<std::uint8_t>> run = makeBenchFrames(kWidth, kHeight, 24);
    encodeInTurn(run, run.size());
    encoder_->setBitrate(300'000);
    EXPECT_EQ(encoder_->config().bitrate, 300'000u);
    encoder_->setBitrate(0);
    EXPECT_EQ(encoder_->config().bitrate, 300'000u);
    encodeInTurn(run, run.size(), 24 * 33'333);
    std::vector<EncodedFrame> out = sink_.frames();
    ASSERT_EQ(out.size(), 48u);
    auto average = [&](std::size_t from, std::size_t to) {
        std::size_t bytes = 0;
        for (std::size_t i = from; i < to; ++i) {
            bytes += out[i].data.size();
        }
        return double(bytes) / double(to - from);
    };
    // Past the opening keyframe and the buffer's settling after the change.
    const double before = average(8, 24);
    const double after = average(32, 48);
    EXPECT_LT(after, before / 3) << "before " << before << " bytes, after " << after;
}

INSTANTIATE_TEST_SUITE_P(X264AndX265, SoftwareEncoder,
                         ::testing::Values(VideoCodec::H264, VideoCodec::Hevc),
                         [](const auto& info) {
                             return info.param == VideoCodec::Hevc ? "x265" : "x264";
                         });

}  // namespace
}  // namespace vel::host
