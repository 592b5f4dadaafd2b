#include "viewer/decoder_selection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "os/log.h"
#include "support/temp_dir.h"
#include "viewer/nvdec_decoder.h"

namespace vel::viewer {
namespace {

// Decoding itself is checked on real H.264 by the engine test and on the stream the host sends
// by the end-to-end view test; here, the choice of decoder on a machine without NVIDIA's.
class Decoders : public ::testing::Test {
  protected:
    void SetUp() override { InitLog(dir_.path(), "viewer"); }
    std::string log() const {
        std::ifstream in(dir_.file("viewer.log"));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
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

}  // namespace
}  // namespace vel::viewer
