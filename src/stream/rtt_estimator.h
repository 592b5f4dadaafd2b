#pragma once

#include <cstdint>

namespace vel::stream {

// Smoothed round trip and its variance from handshake and ping samples, in microseconds.
class RttEstimator {
  public:
    static constexpr std::int64_t kDefaultRtt = 100000;

    void sample(std::int64_t rtt);
    bool hasSample() const { return hasSample_; }
    // 100 ms until the first sample.
    std::int64_t smoothed() const { return hasSample_ ? smoothed_ : kDefaultRtt; }
    std::int64_t variance() const { return variance_; }
    std::int64_t minimum() const { return minimum_; }
    // Retransmission timeout for reliable fragments: smoothed + 4 x variance (200 ms without a
    // sample), within [15 ms, 500 ms].
    std::int64_t retransmissionTimeout() const;

  private:
    std::int64_t smoothed_ = 0;
    std::int64_t variance_ = 0;
    std::int64_t minimum_ = 0;
    bool hasSample_ = false;
};

}  // namespace vel::stream
