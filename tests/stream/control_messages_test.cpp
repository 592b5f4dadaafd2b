#include "stream/control_messages.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

// Each fixed-size message has its size and survives a round trip; the decoders' refusal of
// other lengths and ids is the fuzz target's property.
template <typename T, typename Encode, typename Decode>
void expectFixedMessage(const T& value, Encode encode, Decode decode, std::size_t size) {
    const Message bytes = encode(value);
    ASSERT_EQ(bytes.size(), size);
    EXPECT_EQ(decode(bytes), value);
}

TEST(ControlMessages, FixedMessagesRoundTripLittleEndian) {
    const HostStatistics stats{1, 2, 3, 60, 5, 20000, 75};
    expectFixedMessage(stats, encodeHostStatistics, decodeHostStatistics, 29);
    // Seven u32 values, little-endian, after the id.
    const Message bytes = encodeHostStatistics(stats);
    EXPECT_EQ(bytes[0], 4);
    EXPECT_EQ(bytes[21], 0x20);  // 20000 = 0x4E20
    EXPECT_EQ(bytes[22], 0x4E);

    expectFixedMessage(PointerPosition{-5, 1079, true, 7, 1920, 1080}, encodePointerPosition,
                       decodePointerPosition, 18);
    expectFixedMessage(QualityRequest{100, false, 30, 3000}, encodeQualityRequest,
                       decodeQualityRequest, 9);
    expectFixedMessage(DecoderStatistics{1, 2, 3, 4, 5, 6, 1280, 720}, encodeDecoderStatistics,
                       decodeDecoderStatistics, 29);
    expectFixedMessage(ViewerScreen{2560, 1440, 144, kScreenWantsNative}, encodeViewerScreen,
                       decodeViewerScreen, 8);
    expectFixedMessage(DisplayModeRequest{1366, 768, false}, encodeDisplayModeRequest,
                       decodeDisplayModeRequest, 6);
    expectFixedMessage(KeyEvent{0x1D, 3}, encodeKeyEvent, decodeKeyEvent, 4);
    expectFixedMessage(PointerMove{-300, 7}, encodePointerMove, decodePointerMove, 5);
    expectFixedMessage(PointerAbsolute{0, 65535}, encodePointerAbsolute, decodePointerAbsolute, 5);
    expectFixedMessage(MouseButtonEvent{3, true}, encodeMouseButton, decodeMouseButton, 3);
    expectFixedMessage(WheelEvent{-120, true}, encodeWheel, decodeWheel, 4);

    EXPECT_TRUE(isKeyframeRequest(encodeKeyframeRequest()));
    EXPECT_TRUE(isSecureAttentionRequest(encodeSecureAttentionRequest()));
}

TEST(ControlMessages, PointerShapeKeepsItsLimits) {
    PointerShape shape{9, 256, 2, 255, 1, std::vector<std::uint8_t>(256 * 2 * 4, 0xAB)};
    const std::optional<Message> bytes = encodePointerShape(shape);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 13u + 256 * 2 * 4);
    EXPECT_EQ(decodePointerShape(*bytes), shape);

    PointerShape hot = shape;
    hot.hotY = 2;
    EXPECT_FALSE(encodePointerShape(hot).has_value());

    // A header that claims 257 columns is refused even with the pixels to match.
    Message claimed = *bytes;
    claimed[5] = 1;  // width 0x0101
    claimed[6] = 1;
    claimed.resize(13 + 257 * 2 * 4);
    EXPECT_FALSE(decodePointerShape(claimed).has_value());
}

}  // namespace
}  // namespace vel::stream
