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

TEST(AudioSampleConverterTest, EachSampleFormatBecomesSixteenBitStereo) {
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
    // Channels beyond two are left out; mono is shown by the capture tests.
    EXPECT_EQ(convert({48000, 6, 16, false}, bytesOf<std::int16_t>({1, 2, 3, 4, 5, 6})),
              (std::vector<std::int16_t>{1, 2}));
}

TEST(AudioSampleConverterTest, ResamplingCarriesPositionAcrossPacketsOfAnySize) {
    // The same input cut into odd packet sizes gives the output of one large packet, give or
    // take the rounding of the carried position.
    std::vector<std::int16_t> input(2 * 1000);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<std::int16_t>(i * 13 % 2000);
    const AudioFormat format{22050, 2, 16, false};
    const std::vector<std::uint8_t> bytes = bytesOf(input);
    const std::vector<std::int16_t> whole = convert(format, bytes);

    AudioSampleConverter converter(format);
    std::vector<std::int16_t> pieces;
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
