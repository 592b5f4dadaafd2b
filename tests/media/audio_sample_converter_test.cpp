#include "media/audio_sample_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace vel::media {
namespace {

template <typename T>
std::vector<std::uint8_t> bytesOf(const std::vector<T>& values) {
    std::vector<std::uint8_t> out(values.size() * sizeof(T));
    std::memcpy(out.data(), values.data(), out.size());
    return out;
}

std::vector<std::int16_t> convert(const AudioFormat& format,
                                  const std::vector<std::uint8_t>& data) {
    AudioSampleConverter converter(format);
    std::vector<std::int16_t> out;
    converter.append(data.data(), data.size() / format.frameBytes(), out);
    return out;
}

// Frequency from the rising zero crossings between the first and the last one.
double measuredFrequency(const std::vector<std::int16_t>& stereo, int channel, double rate) {
    int crossings = 0;
    std::size_t first = 0, last = 0;
    for (std::size_t f = 1; f < stereo.size() / 2; ++f) {
        if (stereo[(f - 1) * 2 + channel] < 0 && stereo[f * 2 + channel] >= 0) {
            if (crossings++ == 0) first = f;
            last = f;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / static_cast<double>(last - first) : 0.0;
}

TEST(AudioSampleConverterTest, EachSampleFormatBecomesSixteenBit) {
    EXPECT_EQ(convert({48000, 2, 32, true}, bytesOf<float>({0.5f, -0.25f, 1.5f, -1.5f})),
              (std::vector<std::int16_t>{16384, -8192, 32767, -32768}));
    EXPECT_EQ(convert({48000, 2, 32, true}, bytesOf<float>({NAN, 0.0f})),
              (std::vector<std::int16_t>{0, 0}));
    EXPECT_EQ(convert({48000, 2, 16, false}, bytesOf<std::int16_t>({-5, 7})),
              (std::vector<std::int16_t>{-5, 7}));
    // 24-bit keeps its upper two bytes, 32-bit its upper half.
    EXPECT_EQ(convert({48000, 2, 24, false}, {0xFF, 0x34, 0x12, 0x00, 0x00, 0x80}),
              (std::vector<std::int16_t>{0x1234, -32768}));
    EXPECT_EQ(convert({48000, 2, 32, false}, bytesOf<std::int32_t>({0x12345678, -65536})),
              (std::vector<std::int16_t>{0x1234, -1}));
}

TEST(AudioSampleConverterTest, MonoIsDuplicatedAndExtraChannelsIgnored) {
    EXPECT_EQ(convert({48000, 1, 16, false}, bytesOf<std::int16_t>({3, -4})),
              (std::vector<std::int16_t>{3, 3, -4, -4}));
    EXPECT_EQ(convert({48000, 6, 16, false}, bytesOf<std::int16_t>({1, 2, 3, 4, 5, 6})),
              (std::vector<std::int16_t>{1, 2}));
}

TEST(AudioSampleConverterTest, ResamplingTo48kHzKeepsTheFrequency) {
    // One second of a 1 kHz float tone on the left and 3 kHz on the right at 44.1 kHz, in the
    // 441-frame packets a 10 ms server period gives.
    AudioSampleConverter converter({44100, 2, 32, true});
    std::vector<std::int16_t> out;
    std::vector<float> packet(441 * 2);
    for (int p = 0; p < 100; ++p) {
        for (int f = 0; f < 441; ++f) {
            const double t = (p * 441 + f) / 44100.0;
            packet[f * 2] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * t + 0.3));
            packet[f * 2 + 1] = static_cast<float>(0.5 * std::sin(2 * M_PI * 3000 * t + 0.3));
        }
        const auto bytes = bytesOf(packet);
        converter.append(bytes.data(), 441, out);
    }
    EXPECT_NEAR(static_cast<double>(out.size() / 2), 48000.0, 1.0);
    // The first output frame interpolates from the silence before the stream.
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0);
    EXPECT_NEAR(measuredFrequency(out, 0, 48000), 1000.0, 0.5);
    EXPECT_NEAR(measuredFrequency(out, 1, 48000), 3000.0, 0.5);
    // Amplitude survives: the loudest sample is close to half scale.
    std::int16_t peak = 0;
    for (std::size_t i = 0; i < out.size(); i += 2) peak = std::max(peak, out[i]);
    EXPECT_NEAR(peak, 16384, 80);
}

TEST(AudioSampleConverterTest, ResamplingCarriesPositionAcrossPacketsOfAnySize) {
    // The same input cut into odd packet sizes gives the output of one large packet, give or
    // take the rounding of the carried position.
    std::vector<std::int16_t> input(2 * 1000);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<std::int16_t>(i * 13 % 2000);
    const AudioFormat format{22050, 2, 16, false};
    const std::vector<std::int16_t> whole = convert(format, bytesOf(input));

    AudioSampleConverter converter(format);
    std::vector<std::int16_t> pieces;
    const auto bytes = bytesOf(input);
    std::size_t frame = 0;
    for (std::size_t size : {1, 7, 300, 2, 690}) {
        converter.append(bytes.data() + frame * 4, size, pieces);
        frame += size;
    }
    ASSERT_EQ(pieces.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_NEAR(pieces[i], whole[i], 1) << i;
}

}  // namespace
}  // namespace vel::media
