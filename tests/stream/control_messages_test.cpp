#include "stream/control_messages.h"

#include <gtest/gtest.h>

namespace vel::stream {
namespace {

Message grown(Message m) {
    m.push_back(0);
    return m;
}
Message shrunk(Message m) {
    m.pop_back();
    return m;
}

// Each fixed-size message survives a round trip and is refused one byte longer, one byte
// shorter, and under another id.
template <typename T, typename Encode, typename Decode>
void expectFixedMessage(const T& value, Encode encode, Decode decode, std::size_t size) {
    const Message bytes = encode(value);
    ASSERT_EQ(bytes.size(), size);
    const std::optional<T> back = decode(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, value);
    EXPECT_FALSE(decode(grown(bytes)).has_value());
    EXPECT_FALSE(decode(shrunk(bytes)).has_value());
    Message other = bytes;
    other[0] ^= 0x80;
    EXPECT_FALSE(decode(other).has_value());
}

TEST(ControlMessages, FixedMessagesRoundTripLittleEndianAndRefuseOtherLengths) {
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
    EXPECT_FALSE(isKeyframeRequest(grown(encodeKeyframeRequest())));
    EXPECT_TRUE(isSecureAttentionRequest(encodeSecureAttentionRequest()));
    EXPECT_FALSE(isSecureAttentionRequest(grown(encodeSecureAttentionRequest())));
    EXPECT_FALSE(messageId({}).has_value());
}

TEST(ControlMessages, QualityRequestAboveOneHundredIsMalformed) {
    Message bytes = encodeQualityRequest({100, true, 0, 0});
    EXPECT_TRUE(decodeQualityRequest(bytes).has_value());
    bytes[1] = 101;
    EXPECT_FALSE(decodeQualityRequest(bytes).has_value());
}

TEST(ControlMessages, PointerShapeKeepsItsLimits) {
    PointerShape shape{9, 256, 2, 255, 1, std::vector<std::uint8_t>(256 * 2 * 4, 0xAB)};
    const std::optional<Message> bytes = encodePointerShape(shape);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_EQ(bytes->size(), 13u + 256 * 2 * 4);
    EXPECT_EQ(decodePointerShape(*bytes), shape);
    EXPECT_FALSE(decodePointerShape(grown(*bytes)).has_value());
    EXPECT_FALSE(decodePointerShape(shrunk(*bytes)).has_value());

    // Too wide, empty, hot spot outside, pixels of the wrong count.
    PointerShape wide = shape;
    wide.width = 257;
    wide.pixels.resize(257 * 2 * 4);
    EXPECT_FALSE(encodePointerShape(wide).has_value());
    PointerShape hot = shape;
    hot.hotY = 2;
    EXPECT_FALSE(encodePointerShape(hot).has_value());
    PointerShape shortPixels = shape;
    shortPixels.pixels.pop_back();
    EXPECT_FALSE(encodePointerShape(shortPixels).has_value());

    // A header that claims 257 columns is refused even with the pixels to match.
    Message claimed = *bytes;
    claimed[5] = 1;  // width 0x0101
    claimed[6] = 1;
    claimed.resize(13 + 257 * 2 * 4);
    EXPECT_FALSE(decodePointerShape(claimed).has_value());
}

}  // namespace
}  // namespace vel::stream
