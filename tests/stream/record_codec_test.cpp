#include "stream/record_codec.h"

#include <gtest/gtest.h>

#include <vector>

namespace vel::stream {
namespace {

TEST(RecordCodec, VarintsRoundTripAtEveryGroupBoundary) {
    for (const std::uint64_t value :
         {0ull, 1ull, 127ull, 128ull, 16383ull, 16384ull, 1171ull, (1ull << 35) + 5, ~0ull}) {
        std::uint8_t buffer[kMaxVarintBytes] = {};
        const std::size_t size = writeVarint(value, buffer);
        EXPECT_EQ(size, varintSize(value));
        std::size_t offset = 0;
        std::uint64_t read = 0;
        ASSERT_TRUE(readVarint(buffer, offset, read)) << value;
        EXPECT_EQ(read, value);
        EXPECT_EQ(offset, size);
    }
    EXPECT_EQ(varintSize(~0ull), kMaxVarintBytes);

    // Cut off, and eleven groups, are both malformed.
    const std::vector<std::uint8_t> cut = {0x80, 0x80};
    std::vector<std::uint8_t> tooLong(11, 0x80);
    tooLong.back() = 0x01;
    std::size_t offset = 0;
    std::uint64_t value = 0;
    EXPECT_FALSE(readVarint(cut, offset, value));
    offset = 0;
    EXPECT_FALSE(readVarint(tooLong, offset, value));
}

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

}  // namespace
}  // namespace vel::stream
