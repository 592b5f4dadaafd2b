#include "stream/reliable_channel.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "stream/rtt_estimator.h"

namespace vel::stream {
namespace {

std::vector<ReliableFragment> flushed(ReliableSender& sender, std::int64_t now,
                                      std::int64_t rto = 20000) {
    std::vector<ReliableFragment> out;
    sender.flush(now, rto, [&](const ReliableFragment& fragment) {
        out.push_back(fragment);
        return true;
    });
    return out;
}

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
    return bytes;
}

TEST(ReliableChannel, LongMessageSplitsAndReassemblesInAnyArrivalOrder) {
    ReliableSender sender;
    const auto message = pattern(2500);
    ASSERT_TRUE(sender.queueMessage(message));
    const auto fragments = flushed(sender, 0);
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(fragments[0].bytes.size(), 1101u);
    EXPECT_EQ(fragments[1].bytes.size(), 1101u);
    EXPECT_EQ(fragments[2].bytes.size(), 301u);
    EXPECT_EQ(fragments[0].bytes[0], 1);
    EXPECT_EQ(fragments[1].bytes[0], 1);
    EXPECT_EQ(fragments[2].bytes[0], 0);

    ReliableReceiver receiver;
    std::vector<std::vector<std::uint8_t>> delivered;
    const auto sink = [&](ReliableReceiver::Event event, std::vector<std::uint8_t>&& m) {
        ASSERT_EQ(event, ReliableReceiver::Event::Delivered);
        delivered.push_back(std::move(m));
    };
    receiver.onFragment(2, fragments[2].bytes, sink);
    receiver.onFragment(1, fragments[1].bytes, sink);
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(receiver.takeAck(), std::make_pair(0u, 0b11u));
    EXPECT_FALSE(receiver.ackPending());
    receiver.onFragment(0, fragments[0].bytes, sink);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], message);
    // A duplicate is acknowledged again but not delivered twice.
    receiver.onFragment(1, fragments[1].bytes, sink);
    EXPECT_TRUE(receiver.ackPending());
    EXPECT_EQ(delivered.size(), 1u);
    EXPECT_EQ(receiver.takeAck(), std::make_pair(3u, 0u));

    EXPECT_FALSE(sender.queueMessage({}));
    EXPECT_FALSE(sender.queueMessage(std::vector<std::uint8_t>(kMaxReliableMessage + 1)));
    EXPECT_TRUE(sender.queueMessage(std::vector<std::uint8_t>(kMaxReliableMessage)));
}

TEST(ReliableChannel, OversizedReassemblyIsDroppedAndTheNextMessageSurvives) {
    ReliableReceiver receiver;
    int oversized = 0;
    std::vector<std::vector<std::uint8_t>> delivered;
    const auto sink = [&](ReliableReceiver::Event event, std::vector<std::uint8_t>&& m) {
        if (event == ReliableReceiver::Event::Oversized)
            ++oversized;
        else
            delivered.push_back(std::move(m));
    };
    std::vector<std::uint8_t> more(1 + kReliablePieceBytes, 0xEE);
    more[0] = 1;
    std::uint32_t sequence = 0;
    // 954 pieces of 1100 bytes pass 1 MiB; the message's last fragment follows.
    for (int i = 0; i < 954; ++i) receiver.onFragment(sequence++, more, sink);
    receiver.onFragment(sequence++, std::vector<std::uint8_t>{0, 1}, sink);
    EXPECT_EQ(oversized, 1);
    EXPECT_TRUE(delivered.empty());
    receiver.onFragment(sequence++, std::vector<std::uint8_t>{0, 42}, sink);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0], std::vector<std::uint8_t>{42});
}

}  // namespace
}  // namespace vel::stream
