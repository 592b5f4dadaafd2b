#include "viewer/decoder_selection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "os/log.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "viewer/nvdec_decoder.h"
#include "viewer/sample_stream.h"

namespace vel::viewer {
namespace {

using sample::accessUnits;
using sample::readBytes;

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class Decoders : public ::testing::Test {
  protected:
    void SetUp() override { InitLog(dir_.path(), "viewer"); }
    std::string log() const { return readText(dir_.file("viewer.log")); }
    test::TempDir dir_;
};

TEST_F(Decoders, AbsentNvdecIsRefusedAndHevcFallsToLibavcodec) {
    if (nvdecLibraryReason().empty()) {
        GTEST_SKIP() << "the NVIDIA decode libraries are installed here";
    }
    EXPECT_EQ(nvdecLibraryReason(), "NVIDIA NVDEC libraries are not present");
    std::string error;
    EXPECT_FALSE(makeNvdecDecoder()->open(kCodecHevc, 0, error));
    EXPECT_EQ(error, "NVIDIA CUDA/NVDEC libraries are not available");

    std::unique_ptr<VideoDecoder> decoder = createVideoDecoder(kCodecHevc, 0, error);
    ASSERT_NE(decoder, nullptr) << error;
    EXPECT_EQ(decoder->name(), "libavcodec hevc");
    EXPECT_FALSE(decoder->isHardware());
    EXPECT_EQ(decoder->codec(), kCodecHevc);
    EXPECT_NE(
        log().find("NVDEC HEVC unavailable (nvdec: NVIDIA CUDA/NVDEC libraries are not available); "
                   "trying libavcodec"),
        std::string::npos)
        << log();
}

TEST_F(Decoders, SoftwareOnlyAndH264NeverTryNvdec) {
    std::string error;
    ASSERT_NE(createVideoDecoder(kCodecHevc, kDecodeSoftwareOnly, error), nullptr) << error;
    std::unique_ptr<VideoDecoder> h264 = createVideoDecoder(kCodecH264, 0, error);
    ASSERT_NE(h264, nullptr) << error;
    EXPECT_EQ(h264->name(), "libavcodec h264");
    EXPECT_EQ(log().find("NVDEC"), std::string::npos) << log();
    EXPECT_EQ(decoderAvailability(kCodecH264, 0), "");
    EXPECT_EQ(decoderAvailability(kCodecHevc, kDecodeSoftwareOnly), "");
}

class DecoderAgainstFfmpeg : public ::testing::TestWithParam<std::uint8_t> {};

// ffmpeg encodes a test picture; our decoder, fed one access unit at a time, must give exactly the
// pictures ffmpeg's own decoder gives, without holding any back.
TEST_P(DecoderAgainstFfmpeg, SamePicturesOneUnitAtATime) {
    const std::uint8_t codec = GetParam();
    const bool hevc = codec == kCodecHevc;
    test::TempDir dir;
    const std::string stream = dir.file(hevc ? "in.hevc" : "in.h264");
    test::ProcessResult made = sample::makeTestStream(codec, 12, stream);
    if (made.exitCode != 0) {
        GTEST_SKIP() << "ffmpeg cannot make the test stream: " << made.output;
    }
    test::ProcessResult decoded =
        test::RunProcess({"/usr/bin/ffmpeg", "-v", "error", "-i", stream, "-f", "rawvideo",
                          "-pix_fmt", "nv12", dir.file("ref.yuv")});
    ASSERT_EQ(decoded.exitCode, 0) << decoded.output;
    const std::vector<std::uint8_t> reference = readBytes(dir.file("ref.yuv"));
    const std::size_t frameSize = 320 * 240 * 3 / 2;
    ASSERT_EQ(reference.size(), 12 * frameSize);

    std::vector<std::vector<std::uint8_t>> units = accessUnits(readBytes(stream), codec);
    ASSERT_EQ(units.size(), 12u);
    std::string error;
    std::unique_ptr<VideoDecoder> decoder = createVideoDecoder(codec, kDecodeSoftwareOnly, error);
    ASSERT_NE(decoder, nullptr) << error;
    std::vector<DecodedFrame> frames;
    for (std::size_t i = 0; i < units.size(); ++i) {
        ASSERT_TRUE(decoder->decode(units[i], std::int64_t(i) * 1000, i % 5 == 0, frames));
        ASSERT_EQ(frames.size(), i + 1) << "unit " << i << " gave no picture at once";
    }
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, 320);
        EXPECT_EQ(frames[i].height, 240);
        EXPECT_EQ(frames[i].timestampUs, std::int64_t(i) * 1000);
        EXPECT_TRUE(std::equal(frames[i].nv12.begin(), frames[i].nv12.end(),
                               reference.begin() + std::ptrdiff_t(i * frameSize)))
            << "picture " << i;
    }

    // Garbage is refused or ignored without a picture; the next keyframe decodes again.
    decoder->flush();
    frames.clear();
    const std::vector<std::uint8_t> garbage = {0, 0, 0, 1, 0xFF, 0xFF, 0x13, 0x37};
    (void)decoder->decode(garbage, 0, false, frames);
    EXPECT_TRUE(frames.empty());
    ASSERT_TRUE(decoder->decode(units[10], 10, true, frames));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(std::equal(frames[0].nv12.begin(), frames[0].nv12.end(),
                           reference.begin() + std::ptrdiff_t(10 * frameSize)));
}

INSTANTIATE_TEST_SUITE_P(H264AndHevc, DecoderAgainstFfmpeg,
                         ::testing::Values(kCodecH264, kCodecHevc), [](const auto& info) {
                             return info.param == kCodecHevc ? "hevc" : "h264";
                         });

}  // namespace
}  // namespace vel::viewer
