#include "stream/rtt_estimator.h"

#include <algorithm>
#include <cstdlib>

namespace vel::stream {

void RttEstimator::sample(std::int64_t rtt) {
    const std::int64_t s = std::max<std::int64_t>(rtt, 50);
    if (!hasSample_) {
        smoothed_ = s;
        variance_ = s / 2;
        minimum_ = s;
        hasSample_ = true;
        return;
    }
    minimum_ = std::min(minimum_, s);
    variance_ = (3 * variance_ + std::llabs(smoothed_ - s)) / 4;
    smoothed_ = (7 * smoothed_ + s) / 8;
}

std::int64_t RttEstimator::retransmissionTimeout() const {
    const std::int64_t rto = hasSample_ ? smoothed_ + 4 * variance_ : 200000;
    return std::clamp<std::int64_t>(rto, 15000, 500000);
}

}  // namespace vel::stream
