#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace vel::stream {

// The viewer's estimate of how long packets wait in queues on the path. One-way delay is
// receive time minus the sender's send time; the two clocks differ by an unknown offset, so
// only its rise above the lowest delay of the last 10 s counts. Fragments are grouped in send
// bursts of 2.5 ms and each group contributes its smallest delay (the packet that queued
// least), smoothed with weight 0.3. Times are session microseconds.
class DelayEstimator {
  public:
    struct Report {
        std::uint32_t queuingDelay = 0;  // microseconds, capped at 2^31 - 1
        std::int32_t trend = 0;          // now minus eight reports ago
    };

    // A VideoFragment arrived: its 32-bit send time stamp and whether it was a retransmission
    // (those waited for a NACK and say nothing about queues).
    void onFragment(std::uint32_t sendTime, bool retransmitted, std::int64_t now);

    std::uint32_t queuingDelay() const;

    // The figures of one Feedback; remembers the delay for the trend.
    Report report();

  private:
    void closeGroup(std::int64_t now);

    std::optional<std::int64_t> lastSend_;  // unwrapped
    std::optional<std::int64_t> groupStart_;
    std::int64_t groupMin_ = 0;
    std::optional<double> smoothed_;
    struct Slot {
        std::int64_t index;  // receive time / 500 ms
        std::int64_t minimum;
    };
    std::deque<Slot> minima_;            // the last 10 s, oldest first
    std::deque<std::uint32_t> reports_;  // the last eight reported delays, oldest first
};

}  // namespace vel::stream
