#include "stream/record_codec.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace vel::stream
