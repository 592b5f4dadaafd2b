#include "media/audio_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/adpcm.h"

namespace vel::media {
namespace {

#include "media/adpcm_vectors/adpcm_vectors.inc"

std::vector<std::uint8_t> pcmBlock(std::uint8_t channels, std::uint16_t frames,
                                   const std::vector<std::int16_t>& samples) {
    std::vector<std::uint8_t> out{channels, static_cast<std::uint8_t>(frames & 0xFF),
                                  static_cast<std::uint8_t>(frames >> 8)};
    for (std::int16_t s : samples) {
        out.push_back(static_cast<std::uint8_t>(s & 0xFF));
        out.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(s) >> 8) & 0xFF));
    }
    return out;
}

DecodedAudio decode(std::uint8_t codec, const std::vector<std::uint8_t>& block) {
    DecodedAudio out;
    EXPECT_TRUE(decodeAudioBlock(codec, block.data(), block.size(), out));
    return out;
}

bool refused(std::uint8_t codec, const std::vector<std::uint8_t>& block) {
    DecodedAudio out;
    return !decodeAudioBlock(codec, block.data(), block.size(), out);
}

static_assert(sizeof kVectorEncoded == kVectorBlocks * 489);
static_assert(std::size(kVectorDecoded) == kVectorBlocks * kBlockSamples);

TEST(AdpcmTest, EncoderAndDecoderMatchTheReferenceBlockByBlock) {
    AdpcmEncoderState state;
    for (std::size_t b = 0; b < kVectorBlocks; ++b) {
        SCOPED_TRACE(b);
        const std::vector<std::uint8_t> expected(kVectorEncoded + b * 489,
                                                 kVectorEncoded + (b + 1) * 489);
        // Each block starts from the previous block's final indexes, not from zero.
        EXPECT_EQ(encodeAdpcmBlock(kVectorInput + b * kBlockSamples, kBlockFrames, state),
                  expected);
        const DecodedAudio audio = decode(kAudioCodecAdpcm, expected);
        EXPECT_EQ(audio.channels, 2u);
        EXPECT_EQ(audio.samples,
                  std::vector<std::int16_t>(kVectorDecoded + b * kBlockSamples,
                                            kVectorDecoded + (b + 1) * kBlockSamples));
    }
    ASSERT_NE(kVectorEncoded[489 + 5], 0) << "the vectors must carry an index across blocks";

    // Mono, an odd number of codes and a starting index other than zero.
    const std::vector<std::uint8_t> mono(std::begin(kMonoEncoded), std::end(kMonoEncoded));
    const DecodedAudio audio = decode(kAudioCodecAdpcm, mono);
    EXPECT_EQ(audio.channels, 1u);
    EXPECT_EQ(audio.samples,
              std::vector<std::int16_t>(std::begin(kMonoDecoded), std::end(kMonoDecoded)));
}

TEST(AudioBlockTest, PcmBlocksDecodeLittleEndianInterleaved) {
    const DecodedAudio audio = decode(1, pcmBlock(2, 2, {1, -1, 32767, -32768}));
    EXPECT_EQ(audio.channels, 2u);
    EXPECT_EQ(audio.frames, 2u);
    EXPECT_EQ(audio.samples, (std::vector<std::int16_t>{1, -1, 32767, -32768}));
    // Every codec byte but 2 means PCM.
    EXPECT_EQ(decode(0, pcmBlock(1, 1, {77})).samples, std::vector<std::int16_t>{77});
    EXPECT_EQ(decode(255, pcmBlock(1, 1, {77})).samples, std::vector<std::int16_t>{77});
}

TEST(AudioBlockTest, MalformedBlocksAreRefused) {
    EXPECT_TRUE(refused(1, {2, 1}));
    EXPECT_TRUE(refused(1, pcmBlock(0, 1, {})));
    EXPECT_TRUE(refused(1, pcmBlock(9, 1, std::vector<std::int16_t>(9))));
    EXPECT_TRUE(refused(1, pcmBlock(2, 0, {})));
    auto shortPcm = pcmBlock(2, 3, std::vector<std::int16_t>(6));
    shortPcm.pop_back();
    EXPECT_TRUE(refused(1, shortPcm));
    EXPECT_FALSE(refused(1, pcmBlock(8, 1, std::vector<std::int16_t>(8))));

    // ADPCM: 1..48,000 frames and every promised byte present.
    std::vector<std::uint8_t> adpcm(kVectorEncoded, kVectorEncoded + 489);
    EXPECT_FALSE(refused(kAudioCodecAdpcm, adpcm));
    adpcm.pop_back();
    EXPECT_TRUE(refused(kAudioCodecAdpcm, adpcm));
    for (const unsigned frames : {0u, 48000u, 48001u}) {
        std::vector<std::uint8_t> block(adpcmBlockSize(frames, 1), 0);
        block[0] = 1;
        block[1] = static_cast<std::uint8_t>(frames & 0xFF);
        block[2] = static_cast<std::uint8_t>(frames >> 8);
        EXPECT_EQ(refused(kAudioCodecAdpcm, block), frames != 48000) << frames;
    }
}

TEST(AudioBlockTest, StepIndexAbove88IsReadAs88) {
    // Mono, one frame, predictor 0, code 7 (the largest positive step).
    const std::vector<std::uint8_t> at88{1, 1, 0, 0, 0, 88, 0x07};
    std::vector<std::uint8_t> above = at88;
    above[5] = 200;
    EXPECT_EQ(decode(kAudioCodecAdpcm, above).samples, decode(kAudioCodecAdpcm, at88).samples);
    EXPECT_EQ(decode(kAudioCodecAdpcm, at88).samples, std::vector<std::int16_t>{32767});
}

TEST(AudioBlockTest, OnlyStereoBlocksOf480FramesArePlayable) {
    AudioBlock block;
    const DecodedAudio stereo = decode(1, pcmBlock(2, 480, std::vector<std::int16_t>(960, 5)));
    ASSERT_TRUE(toPlayableBlock(stereo, block));
    EXPECT_EQ(block[959], 5);
    EXPECT_FALSE(
        toPlayableBlock(decode(1, pcmBlock(1, 480, std::vector<std::int16_t>(480))), block));
    EXPECT_FALSE(
        toPlayableBlock(decode(1, pcmBlock(2, 960, std::vector<std::int16_t>(1920))), block));
}

}  // namespace
}  // namespace vel::media
