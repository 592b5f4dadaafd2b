#include "stream/record_bodies.h"

#include <gtest/gtest.h>

#include <vector>

namespace vel::stream {
namespace {

VideoFragmentHeader sampleFragment() {
    VideoFragmentHeader h;
    h.frameId = 0x01020304;
    h.flags = kFragmentKeyframe | kFragmentRequestedKeyframe;
    h.codec = 2;
    h.blockIndex = 1;
    h.blockCount = 3;
    h.shardIndex = 49;
    h.dataShards = 48;
    h.parityShards = 2;
    h.frameSize = 150000;
    h.blockSize = 50000;
    h.shardSize = 4;
    h.sendTime = 0xA1B2C3D4;
    h.captureTimestamp = 0x1122334455667788;
    h.encodeDuration = 65535;
    return h;
}

TEST(RecordBodies, VideoFragmentLayoutAndLimits) {
    std::vector<std::uint8_t> body(kVideoFragmentHeaderSize + 4, 0xEE);
    encodeVideoFragmentHeader(sampleFragment(), body.data());
    // Fixed offsets of the wire layout: block count at 7, shard size at 20, send time at 22.
    EXPECT_EQ(body[7], 3);
    EXPECT_EQ(body[11], 0);
    EXPECT_EQ(body[20], 4);
    EXPECT_EQ(body[22], 0xD4);
    EXPECT_EQ(body[25], 0xA1);
    EXPECT_EQ(body[26], 0x88);
    EXPECT_EQ(body[36], 0);

    VideoFragmentHeader decoded;
    std::span<const std::uint8_t> shard;
    ASSERT_TRUE(decodeVideoFragment(body, decoded, shard));
    EXPECT_EQ(decoded.frameId, 0x01020304u);
    EXPECT_EQ(decoded.captureTimestamp, 0x1122334455667788u);
    EXPECT_EQ(decoded.sendTime, 0xA1B2C3D4u);
    EXPECT_EQ(decoded.encodeDuration, 65535);
    EXPECT_EQ(shard.size(), 4u);

    const auto refused = [&](auto change) {
        VideoFragmentHeader h = sampleFragment();
        change(h);
        std::vector<std::uint8_t> bytes(kVideoFragmentHeaderSize + h.shardSize);
        encodeVideoFragmentHeader(h, bytes.data());
        return !decodeVideoFragment(bytes, decoded, shard);
    };
    EXPECT_TRUE(refused([](VideoFragmentHeader& h) { h.blockCount = 65; }));
    EXPECT_TRUE(refused([](VideoFragmentHeader& h) { h.blockIndex = 3; }));
    EXPECT_TRUE(refused([](VideoFragmentHeader& h) { h.dataShards = 49; }));
    EXPECT_TRUE(refused([](VideoFragmentHeader& h) { h.dataShards = 0; }));
    EXPECT_TRUE(refused([](VideoFragmentHeader& h) { h.parityShards = 25; }));
    EXPECT_TRUE(refused([](VideoFragmentHeader& h) { h.shardIndex = 50; }));
    EXPECT_FALSE(refused([](VideoFragmentHeader&) {}));
    body.pop_back();  // shard bytes shorter than the shard size
    EXPECT_FALSE(decodeVideoFragment(body, decoded, shard));
}

}  // namespace
}  // namespace vel::stream
