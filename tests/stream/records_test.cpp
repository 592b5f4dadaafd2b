// Records: the walk over a payload's records, the writer's room, and the video fragment body.
#include <gtest/gtest.h>

#include <vector>

#include "stream/record_bodies.h"
#include "stream/record_codec.h"

namespace vel::stream {
namespace {

TEST(RecordCodec, WalkStopsAtTheFirstMalformedRecordKeepingEarlierOnes) {
    std::vector<std::uint8_t> payload(64);
    RecordWriter writer(payload);
    const std::vector<std::uint8_t> ping(12, 3);
    ASSERT_TRUE(writer.append(RecordType::Ping, ping));
    ASSERT_TRUE(writer.append(static_cast<RecordType>(200), std::vector<std::uint8_t>(2, 9)));
    ASSERT_TRUE(writer.append(RecordType::Close, std::vector<std::uint8_t>{}));
    const std::size_t good = writer.size();
    payload.resize(good);
    // A record claiming 10 body bytes with only 2 left.
    payload.insert(payload.end(), {static_cast<std::uint8_t>(RecordType::Ack), 10, 1, 2});

    RecordReader reader(payload);
    std::vector<std::uint8_t> types;
    Record record;
    while (reader.next(record)) types.push_back(record.type);
    EXPECT_EQ(types, (std::vector<std::uint8_t>{3, 200, 11}));
    EXPECT_FALSE(reader.next(record));
}

TEST(RecordCodec, WriterRefusesRecordsThatDoNotFit) {
    std::vector<std::uint8_t> payload(1171);
    RecordWriter writer(payload);
    // A two-byte length from 128 on: the largest body is 1171 - 1 - 2.
    EXPECT_EQ(writer.bodyRoom(), 1168u);
    EXPECT_EQ(writer.begin(RecordType::Reliable, 1169), nullptr);
    ASSERT_NE(writer.begin(RecordType::Reliable, 1168), nullptr);
    EXPECT_EQ(writer.size(), 1171u);
    EXPECT_EQ(writer.bodyRoom(), 0u);
    EXPECT_FALSE(writer.append(RecordType::Close, std::vector<std::uint8_t>(1, 0)));
}

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
    EXPECT_EQ(decoded.sendTime, 0xA1B2C3D4u);
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
