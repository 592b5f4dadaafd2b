#pragma once

#include <cstddef>
#include <cstdint>

namespace vel::stream {

// The token bucket that spaces paced packets (video and bulk) at twice the target bitrate, so
// a frame leaves as a short burst instead of all at once. Times are session microseconds given
// by the caller; the pacer reads no clock.
class Pacer {
  public:
    // Starts full at the given bitrate.
    Pacer(std::uint64_t bitrate, std::int64_t now);

    // Recomputes rate and capacity (on every feedback); the tokens are cut to the new capacity.
    void setBitrate(std::uint64_t bitrate);

    // Asks to send a packet of payloadBytes (the sealed datagram adds 29). Returns 0 when it may
    // leave now, its tokens spent; otherwise how many microseconds to sleep before asking again
    // (at least 200).
    std::int64_t acquire(std::size_t payloadBytes, std::int64_t now);

    double rate() const { return rate_; }  // bytes per microsecond
    double capacity() const { return capacity_; }
    double tokens() const { return tokens_; }

  private:
    double rate_ = 0;
    double capacity_ = 0;
    double tokens_ = 0;
    std::int64_t lastRefill_ = 0;
};

}  // namespace vel::stream
