#pragma once

#include <atomic>
#include <cstdint>

namespace vel::stream {

// What one Feedback report tells the host about the path.
struct RateFeedback {
    std::uint32_t packetsReceived = 0;
    std::uint32_t packetsJudged = 0;  // packets whose fate the viewer has decided
    std::uint32_t receiveRate = 0;    // bits per second, 0 when unknown
    std::uint32_t queuingDelay = 0;   // microseconds
    std::int32_t delayTrend = 0;      // queuing delay now minus eight reports ago, microseconds
};

enum class RatePhase { Increase = 0, Hold = 1, Decrease = 2 };

// The host's delay- and loss-based bitrate controller. The target stays within the profile's
// bounds, except on a starved path (congested while delivering less than the minimum, or
// congested through three cuts in a row that the minimum stopped), which is followed down to
// 100 kbit/s: sending more than the path carries loses every frame. It reads
// no clock: every report comes with the session time in microseconds. Not locked: the session
// calls it under its feedback lock; only targetBitrate() may be read from other threads.
class RateController {
  public:
    RateController();

    // The profile's bounds: minimum at least 100000, maximum at least the minimum, the current
    // rate set to start (or kept when start is 0) and clamped; FEC bounds with max >= min.
    void applyRateLimits(std::uint64_t minimum, std::uint64_t maximum, std::uint64_t start,
                         double fecMin, double fecMax);

    // One Feedback report; rtt is the smoothed round trip (100000 without a sample).
    void onFeedback(const RateFeedback& report, std::int64_t rtt, std::int64_t now);

    std::uint64_t targetBitrate() const { return target_.load(std::memory_order_relaxed); }

    std::uint64_t minimum() const { return minimum_; }
    std::uint64_t maximum() const { return maximum_; }
    double smoothedLoss() const { return smoothedLoss_; }
    double lossThreshold() const { return lossThreshold_; }
    double fecMin() const { return fecMin_; }
    double fecMax() const { return fecMax_; }
    RatePhase phase() const { return phase_; }
    std::uint64_t ceiling() const { return ceiling_; }  // 0: none
    std::uint32_t lastQueuingDelay() const { return lastQueuingDelay_; }
    std::uint32_t lastReceiveRate() const { return lastReceiveRate_; }

  private:
    void increase(std::int64_t rtt, std::int64_t now);
    void decrease(bool delayCongested, bool lossy, std::int64_t rtt, std::int64_t now);
    void publish(double rate, std::uint64_t floor);

    std::uint64_t minimum_ = 1000000;
    std::uint64_t maximum_ = 20000000;
    std::uint64_t current_ = 5000000;
    double fecMin_ = 0.1;
    double fecMax_ = 0.2;
    double lossThreshold_ = 0.1;
    double smoothedLoss_ = 0;
    std::uint32_t lastQueuingDelay_ = 0;
    std::uint32_t lastReceiveRate_ = 0;
    bool decreased_ = false;
    bool increased_ = false;
    std::int64_t lastDecrease_ = 0;
    std::int64_t lastIncrease_ = 0;
    std::uint64_t ceiling_ = 0;
    std::uint32_t cutsBelowMinimum_ = 0;  // cuts in a row that wanted to go below the minimum
    std::int64_t ceilingTime_ = 0;
    RatePhase phase_ = RatePhase::Increase;
    std::atomic<std::uint64_t> target_;
};

}  // namespace vel::stream
