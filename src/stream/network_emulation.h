#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace vel::stream {

// Impairments a test puts on the datagrams a session sends; all zero in production.
struct NetworkEmulation {
    double loss = 0;                          // probability of dropping a datagram
    std::uint32_t delayMs = 0;                // added to every datagram
    std::uint32_t jitterMs = 0;               // uniform in [-jitter, +jitter], on top of the delay
    std::uint64_t rateLimit = 0;              // bits per second of a bottleneck, 0 for none
    std::uint64_t seed = 0x9E3779B97F4A7C15;  // of the generator; equal seeds, equal fates

    bool active() const { return loss > 0 || delayMs > 0 || jitterMs > 0 || rateLimit > 0; }
};

// xorshift64*: small, fast and reproducible, which is all an emulated network needs.
class Xorshift64Star {
  public:
    explicit Xorshift64Star(std::uint64_t seed) : state_(seed != 0 ? seed : 1) {}

    std::uint64_t next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    // The top 53 bits as a fraction in [0, 1).
    double fraction() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  private:
    std::uint64_t state_;
};

// Decides the fate of each datagram: dropped by loss, dropped by a bottleneck whose queue would
// hold it longer than 60 ms, or delivered at a due time. Reads no clock.
class NetworkEmulator {
  public:
    explicit NetworkEmulator(const NetworkEmulation& settings);

    // The due time in session microseconds of a datagram of `bytes` sent at `now`, or nothing
    // when it is lost.
    std::optional<std::int64_t> admit(std::size_t bytes, std::int64_t now);

  private:
    NetworkEmulation settings_;
    Xorshift64Star random_;
    double rate_ = 0;  // bottleneck bytes per microsecond
    double capacity_ = 0;
    double tokens_ = 0;  // below zero while the bottleneck's queue holds bytes
    std::int64_t lastRefill_ = 0;
    bool started_ = false;
};

// Datagrams held until their due time, in due order and first in, first out for equal times.
template <typename Packet>
class DelayQueue {
  public:
    void push(std::int64_t due, Packet packet) {
        auto it = queue_.end();
        while (it != queue_.begin() && std::prev(it)->first > due) --it;
        queue_.emplace(it, due, std::move(packet));
    }
    // The first datagram due at or before now.
    std::optional<Packet> popDue(std::int64_t now) {
        if (queue_.empty() || queue_.front().first > now) return std::nullopt;
        Packet packet = std::move(queue_.front().second);
        queue_.pop_front();
        return packet;
    }
    std::optional<std::int64_t> nextDue() const {
        if (queue_.empty()) return std::nullopt;
        return queue_.front().first;
    }
    std::size_t size() const { return queue_.size(); }

  private:
    std::deque<std::pair<std::int64_t, Packet>> queue_;
};

}  // namespace vel::stream
