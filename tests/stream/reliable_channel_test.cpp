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

TEST(ReliableChannel, RetransmissionBacksOffToAtMostHalfASecond) {
    ReliableSender sender;
    ASSERT_TRUE(sender.queueMessage(pattern(10)));
    const std::int64_t rto = 100000;
    std::int64_t now = 0;
    ASSERT_EQ(flushed(sender, now, rto).size(), 1u);
    // Waits after the 1st..6th send: rto, 2 rto, 4 rto, then capped at 500 ms.
    for (const std::int64_t wait : {100000, 200000, 400000, 500000, 500000}) {
        EXPECT_TRUE(flushed(sender, now + wait - 1, rto).empty()) << wait;
        now += wait;
        EXPECT_EQ(flushed(sender, now, rto).size(), 1u) << wait;
    }
    // A write that has no room stops the round and the fragment stays unsent.
    ReliableSender stopped;
    ASSERT_TRUE(stopped.queueMessage(pattern(10)));
    stopped.flush(0, rto, [](const ReliableFragment&) { return false; });
    EXPECT_EQ(flushed(stopped, 0, rto).size(), 1u);
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

TEST(RttEstimator, SmoothsSamplesAndBoundsTheTimeout) {
    RttEstimator rtt;
    EXPECT_EQ(rtt.retransmissionTimeout(), 200000);
    rtt.sample(10);  // raised to 50 us
    EXPECT_EQ(rtt.smoothed(), 50);
    EXPECT_EQ(rtt.retransmissionTimeout(), 15000);
    rtt.sample(850);
    EXPECT_EQ(rtt.smoothed(), (7 * 50 + 850) / 8);
    for (int i = 0; i < 4; ++i) rtt.sample(2000000);
    EXPECT_EQ(rtt.retransmissionTimeout(), 500000);
}

}  // namespace
}  // namespace vel::stream
