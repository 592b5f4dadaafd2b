#include "host/encoder_selection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/annex_b.h"
#include "host/avcodec_encoder.h"
#include "host/nvenc_encoder.h"
#include "host/nvenc_library.h"
#include "host/video_encoder.h"
#include "os/files.h"
#include "os/log.h"
#include "support/temp_dir.h"

namespace vel::host {
namespace {

bool hardwareEncoderPresent(VideoCodec codec) {
    const std::vector<EncoderListEntry> entries = listEncoders(codec);
    return std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.hardware; });
}

EncoderConfig smallConfig() {
    EncoderConfig config;
    config.width = 320;
    config.height = 240;
    config.bitrate = 1'000'000;
    return config;
}

TEST(EncoderBackendNames, ParseIsCaseSensitiveAndKnowsTheLongForms) {
    EXPECT_EQ(parseEncoderBackend("mf-hardware"), EncoderBackend::MfHw);
    EXPECT_EQ(parseEncoderBackend("software"), EncoderBackend::MfSw);
    EXPECT_EQ(parseEncoderBackend("MF-HW"), EncoderBackend::Auto);
}

TEST(EncoderBuffer, OneAndAHalfFramesWithAFloor) {
    EXPECT_EQ(encoderBufferBits(10'000'000, 60), 250'000u);
    EXPECT_EQ(encoderBufferBits(1'000'000, 60), 64'000u);
    EXPECT_EQ(encoderBufferBits(1'000'000, 0), 1'500'000u);
    EXPECT_EQ(encoderBufferBits(4'000'000'000u, 1), 0xFFFFFFFFu);
}

TEST(NvencVersion, TheDriverMustRunTheHeadersApi) {
    EXPECT_EQ(nvencVersionRefusal(11 * 16 + 0),
              "the NVIDIA driver supports NVENC API 11.0; 11.1 is needed");
    EXPECT_EQ(nvencVersionRefusal(11 * 16 + 1), "");
}

TEST(AnnexB, ParameterSetsAreFoundAndPutInFrontOnlyWhenMissing) {
    // H.264: SPS (7), PPS (8), IDR slice (5), with four- and three-byte start codes.
    const std::vector<std::uint8_t> h264 = {0,    0, 0, 1, 0x67, 1, 2,    0, 0, 1,
                                            0x68, 3, 0, 0, 0,    1, 0x65, 9, 9};
    EXPECT_TRUE(beginsWithParameterSets(h264, VideoCodec::H264));
    const std::vector<std::uint8_t> sets = parameterSetsOf(h264, VideoCodec::H264);
    EXPECT_EQ(sets, (std::vector<std::uint8_t>{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3}));

    std::vector<std::uint8_t> bare = {0, 0, 0, 1, 0x65, 7};
    ensureParameterSets(bare, sets, VideoCodec::H264);
    EXPECT_EQ(bare.size(), sets.size() + 6);
    EXPECT_TRUE(beginsWithParameterSets(bare, VideoCodec::H264));
    std::vector<std::uint8_t> complete = h264;
    ensureParameterSets(complete, sets, VideoCodec::H264);
    EXPECT_EQ(complete, h264);

    // HEVC: a VPS header byte is 0x40; the same byte read as H.264 is no SPS.
    const std::vector<std::uint8_t> hevc = {0,    0, 1,    0x40, 1, 0xAA, 0,    0, 1,
                                            0x42, 1, 0xBB, 0,    0, 1,    0x26, 1, 0xCC};
    EXPECT_TRUE(beginsWithParameterSets(hevc, VideoCodec::Hevc));
    EXPECT_FALSE(beginsWithParameterSets(hevc, VideoCodec::H264));

    // Parameter sets beyond the first 256 bytes do not count.
    std::vector<std::uint8_t> late(300, 0xFF);
    for (const std::uint8_t b : {0, 0, 1, 0x67, 0xFF}) late.push_back(b);
    EXPECT_FALSE(beginsWithParameterSets(late, VideoCodec::H264));
}

class EncoderSelection : public ::testing::Test {
  protected:
    void SetUp() override { InitLog(dir_.path(), "host"); }
    std::string log() const {
        std::string text;
        static_cast<void>(ReadFileText(dir_.file("host.log"), text));
        return text;
    }
    test::TempDir dir_;
};

TEST_F(EncoderSelection, AutoFallsThroughToSoftwareWithoutADeclinedLine) {
    std::string error;
    std::unique_ptr<VideoEncoder> encoder =
        createVideoEncoder(smallConfig(), error, [](EncodedFrame&&) {});
    ASSERT_NE(encoder, nullptr) << error;
    if (encoder->isHardware()) {
        GTEST_SKIP() << "a hardware encoder answers here: " << encoder->name();
    }
    EXPECT_EQ(encoder->backend(), EncoderBackend::MfSw);
    const std::string text = log();
    EXPECT_EQ(text.find("declined"), std::string::npos) << text;
    EXPECT_NE(text.find("encoder: libx264 (software, sync, memory input) 320x240@60 1000000 bps"),
              std::string::npos)
        << text;
}

TEST_F(EncoderSelection, AbsentHardwareGivesEveryReasonInOrder) {
    if (hardwareEncoderPresent(VideoCodec::H264)) {
        GTEST_SKIP() << "this machine has a hardware H.264 encoder";
    }
    EncoderConfig config = smallConfig();
    config.hardwareOnly = true;
    std::string error;
    EXPECT_EQ(createVideoEncoder(config, error, [](EncodedFrame&&) {}), nullptr);
    EXPECT_EQ(error,
              "nvenc: libnvidia-encode.so.1 is not installed (no NVIDIA driver); "
              "mf-hw: no H.264 encoder is available in hardware");
    const std::string text = log();
    EXPECT_EQ(text.find("backend nvenc declined"), std::string::npos) << text;
    EXPECT_NE(
        text.find("encoder backend mf-hw declined: no H.264 encoder is available in hardware"),
        std::string::npos)
        << text;

    config.hardwareOnly = false;
    config.backend = EncoderBackend::Nvenc;
    EXPECT_EQ(createVideoEncoder(config, error, [](EncodedFrame&&) {}), nullptr);
    EXPECT_EQ(error, "nvenc: libnvidia-encode.so.1 is not installed (no NVIDIA driver)");

    config.backend = EncoderBackend::MfHw;
    config.codec = VideoCodec::Hevc;
    EXPECT_EQ(createVideoEncoder(config, error, [](EncodedFrame&&) {}), nullptr);
    EXPECT_EQ(error, "mf-hw: no HEVC encoder is available in hardware");
}

TEST_F(EncoderSelection, SoftwareBackendRefusesHardwareOnlyAndNothingAllowedIsRefused) {
    EncoderConfig config = smallConfig();
    config.backend = EncoderBackend::MfSw;
    config.codec = VideoCodec::Hevc;
    config.allowHardware = true;
    config.hardwareOnly = true;
    std::string error;
    EXPECT_EQ(createVideoEncoder(config, error, [](EncodedFrame&&) {}), nullptr);
    EXPECT_EQ(error, "mf-sw: no HEVC encoder is available in software");

    config.backend = EncoderBackend::Auto;
    config.allowHardware = false;
    EXPECT_EQ(createVideoEncoder(config, error, [](EncodedFrame&&) {}), nullptr);
    EXPECT_EQ(error, "no encoder backend is allowed by the configuration");
}

TEST(EncoderOpen, OddValuesAreClampedNothingIsQueuedUnopenedAndQueuedFramesDieWithIt) {
    std::string error;
    std::vector<std::uint8_t> frame(320 * 240 * 3 / 2, 128);
    EXPECT_FALSE(makeNvencEncoder()->encodeNv12(frame.data(), 0, false)) << "not open";
    std::unique_ptr<VideoEncoder> encoder = makeAvcodecEncoder();
    EXPECT_FALSE(encoder->encodeNv12(frame.data(), 0, false)) << "not open";
    EncoderConfig config = smallConfig();
    config.fps = 0;     // counts as 1
    config.speed = 99;  // fastest
    config.backend = EncoderBackend::MfSw;
    ASSERT_TRUE(encoder->open(config, error, [](EncodedFrame&&) {})) << error;
    EXPECT_FALSE(encoder->encodeNv12(nullptr, 0, false));
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(encoder->encodeNv12(frame.data(), i, i == 5));
    encoder.reset();  // must return: the worker is stopped and joined
}

TEST(EncoderListing, SoftwareEncodersFollowAnyHardware) {
    for (VideoCodec codec : {VideoCodec::H264, VideoCodec::Hevc}) {
        std::vector<EncoderListEntry> entries = listEncoders(codec);
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back().name, codec == VideoCodec::Hevc ? "libx265" : "libx264");
        std::string reason;
        if (!loadNvencLibrary(reason)) {
            EXPECT_NE(entries.front().backend, EncoderBackend::Nvenc);
        }
    }
}

}  // namespace
}  // namespace vel::host
