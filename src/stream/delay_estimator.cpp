#include "stream/delay_estimator.h"

#include <algorithm>
#include <cmath>

namespace vel::stream {
namespace {

constexpr std::int64_t kGroupSpan = 2500;
constexpr std::int64_t kSlotSpan = 500000;
constexpr std::int64_t kSlots = 20;  // 10 s of 500 ms slots
constexpr double kWeight = 0.3;
constexpr std::size_t kTrendReports = 8;
constexpr std::int64_t kMaxDelay = 0x7fffffff;

}  // namespace

void DelayEstimator::onFragment(std::uint32_t sendTime, bool retransmitted, std::int64_t now) {
    if (retransmitted) return;
    // The stamp is the sender clock's low 32 bits, which wrap every 71 minutes.
    std::int64_t send = sendTime;
    if (lastSend_) {
        send = *lastSend_ +
               static_cast<std::int32_t>(sendTime - static_cast<std::uint32_t>(*lastSend_));
    }
    lastSend_ = send;
    const std::int64_t delay = now - send;

    if (groupStart_ && send > *groupStart_ + kGroupSpan) closeGroup(now);
    if (!groupStart_) {
        groupStart_ = send;
        groupMin_ = delay;
    } else {
        groupMin_ = std::min(groupMin_, delay);
    }
}

void DelayEstimator::closeGroup(std::int64_t now) {
    const std::int64_t slot = now / kSlotSpan;
    if (!minima_.empty() && minima_.back().index == slot) {
        minima_.back().minimum = std::min(minima_.back().minimum, groupMin_);
    } else {
        minima_.push_back({slot, groupMin_});
    }
    while (minima_.front().index <= slot - kSlots) minima_.pop_front();

    const double delay = static_cast<double>(groupMin_);
    smoothed_ = smoothed_ ? *smoothed_ + kWeight * (delay - *smoothed_) : delay;
    groupStart_.reset();
}

std::uint32_t DelayEstimator::queuingDelay() const {
    if (!smoothed_ || minima_.empty()) return 0;
    std::int64_t floor = minima_.front().minimum;
    for (const Slot& s : minima_) floor = std::min(floor, s.minimum);
    const auto queued =
        static_cast<std::int64_t>(std::llround(*smoothed_ - static_cast<double>(floor)));
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(queued, 0, kMaxDelay));
}

DelayEstimator::Report DelayEstimator::report() {
    Report r;
    r.queuingDelay = queuingDelay();
    const std::uint32_t past = reports_.empty() ? r.queuingDelay : reports_.front();
    r.trend = static_cast<std::int32_t>(static_cast<std::int64_t>(r.queuingDelay) - past);
    reports_.push_back(r.queuingDelay);
    if (reports_.size() > kTrendReports) reports_.pop_front();
    return r;
}

}  // namespace vel::stream
