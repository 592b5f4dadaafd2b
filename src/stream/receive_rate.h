#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace vel::stream {

// Bits per second received over the last 250 ms, as the viewer reports it in Feedback.
// Times are session microseconds.
class ReceiveRate {
  public:
    void add(std::size_t bytes, std::int64_t now);
    // Capped at the largest u32.
    std::uint32_t bitsPerSecond(std::int64_t now);

  private:
    void expire(std::int64_t now);

    struct Bucket {
        std::int64_t time;  // first packet counted in it
        std::uint64_t bytes;
    };
    std::deque<Bucket> buckets_;  // one per millisecond at most, oldest first
    std::uint64_t total_ = 0;
};

}  // namespace vel::stream
