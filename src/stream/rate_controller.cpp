#include "stream/rate_controller.h"

#include <algorithm>

namespace vel::stream {
namespace {

constexpr std::int64_t kCeilingLifetime = 10000000;
constexpr std::int64_t kIncreaseSpacing = 200000;
constexpr std::int64_t kMinRtt = 100000;
// The lowest rate a starved path may drive the target to, below the profile's minimum.
constexpr std::uint64_t kStarvedFloor = 100000;
// Cuts in a row that the minimum stopped, after which the path counts as starved.
constexpr std::uint32_t kCutsBeforeStarved = 3;

}  // namespace

RateController::RateController() : target_(current_) {
    lossThreshold_ = std::min(0.1, 0.5 * fecMax_);
}

void RateController::applyRateLimits(std::uint64_t minimum, std::uint64_t maximum,
                                     std::uint64_t start, double fecMin, double fecMax) {
    minimum_ = std::max<std::uint64_t>(minimum, 100000);
    maximum_ = std::max(maximum, minimum_);
    current_ = std::clamp(start != 0 ? start : current_, minimum_, maximum_);
    target_.store(current_, std::memory_order_relaxed);
    fecMin_ = fecMin;
    fecMax_ = std::max(fecMax, fecMin);
    lossThreshold_ = std::min(0.1, 0.5 * fecMax_);
}

void RateController::onFeedback(const RateFeedback& report, std::int64_t rtt, std::int64_t now) {
    if (report.packetsJudged > 0) {
        const double loss = std::clamp(
            1.0 - static_cast<double>(report.packetsReceived) / report.packetsJudged, 0.0, 1.0);
        smoothedLoss_ += 0.15 * (loss - smoothedLoss_);
    }
    lastQueuingDelay_ = report.queuingDelay;
    lastReceiveRate_ = report.receiveRate;

    const std::uint32_t delay = report.queuingDelay;
    const std::int32_t trend = report.delayTrend;
    const bool delayCongested =
        !((delay <= 12000 || trend <= 0) && (delay <= 30000 || trend < -2000));
    const bool lossy = smoothedLoss_ > std::max(lossThreshold_, 0.08) && trend >= -2000;

    if (delayCongested || lossy) {
        phase_ = RatePhase::Decrease;
        decrease(delayCongested, lossy, rtt, now);
    } else if (delay < 4000 && smoothedLoss_ < std::max(0.6 * lossThreshold_, 0.02)) {
        phase_ = RatePhase::Increase;
        increase(rtt, now);
    } else {
        phase_ = RatePhase::Hold;
    }
}

void RateController::increase(std::int64_t rtt, std::int64_t now) {
    // Probe upward only once the path has settled after a decrease, and in steps.
    if (decreased_ && now - lastDecrease_ < 2 * std::max(rtt, kMinRtt)) return;
    if (increased_ && now - lastIncrease_ < kIncreaseSpacing) return;
    if (ceiling_ != 0 && now - ceilingTime_ > kCeilingLifetime) ceiling_ = 0;

    const double current = static_cast<double>(current_);
    double rate;
    if (ceiling_ != 0 && current > 0.85 * static_cast<double>(ceiling_)) {
        // Near the rate where the path last broke down: creep.
        rate = current + std::max(0.02 * current, 100000.0);
    } else {
        rate = current * 1.12;
        if (ceiling_ != 0) rate = std::min(rate, 0.9 * static_cast<double>(ceiling_));
    }
    increased_ = true;
    lastIncrease_ = now;
    cutsBelowMinimum_ = 0;
    // From below the profile's minimum (a starved path) the rate climbs back in the same steps.
    publish(rate, std::min(minimum_, current_));
}

void RateController::decrease(bool delayCongested, bool lossy, std::int64_t rtt, std::int64_t now) {
    // One cut per round trip: the reports that follow still describe the old rate.
    if (decreased_ && now - lastDecrease_ < std::max(rtt, kMinRtt)) return;

    const double current = static_cast<double>(current_);
    double target = current;
    if (delayCongested) {
        const double received = lastReceiveRate_ != 0 ? lastReceiveRate_ : current;
        target = std::min(std::max(0.5 * current, 0.9 * received), 0.85 * current);
    }
    if (lossy) target = std::min(target, (1 - smoothedLoss_ / 2) * current);

    if (lastReceiveRate_ != 0) {
        ceiling_ = std::max<std::uint64_t>(ceiling_ / 2, lastReceiveRate_);
    } else if (ceiling_ == 0) {
        ceiling_ = current_;
    }
    ceilingTime_ = now;
    decreased_ = true;
    lastDecrease_ = now;
    // The profile's minimum holds while the path carries it. A congested path that delivers less
    // than the minimum would lose a share of every frame at the bottleneck (and NACK repair is
    // withheld while congested), so nothing could be decoded; the rate follows the path instead.
    // The same holds when cut after cut would go below the minimum: what the minimum costs on the
    // wire (FEC, headers, keyframes) is more than the path carries, whatever it delivers.
    // A report without a receive rate says too little to leave the minimum on.
    const bool measured = lastReceiveRate_ != 0;
    cutsBelowMinimum_ =
        measured && target < static_cast<double>(minimum_) ? cutsBelowMinimum_ + 1 : 0;
    const bool starved =
        measured && (lastReceiveRate_ < minimum_ || cutsBelowMinimum_ >= kCutsBeforeStarved);
    publish(target, starved ? kStarvedFloor : minimum_);
}

void RateController::publish(double rate, std::uint64_t floor) {
    const double clamped =
        std::clamp(rate, static_cast<double>(floor), static_cast<double>(maximum_));
    current_ = static_cast<std::uint64_t>(clamped);
    target_.store(current_, std::memory_order_relaxed);
}

}  // namespace vel::stream
