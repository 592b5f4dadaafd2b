#include "stream/receive_rate.h"

#include <algorithm>
#include <limits>

namespace vel::stream {
namespace {

constexpr std::int64_t kSpan = 250000;
constexpr std::int64_t kBucket = 1000;

}  // namespace

void ReceiveRate::add(std::size_t bytes, std::int64_t now) {
    expire(now);
    if (!buckets_.empty() && now - buckets_.back().time < kBucket) {
        buckets_.back().bytes += bytes;
    } else {
        buckets_.push_back({now, bytes});
    }
    total_ += bytes;
}

std::uint32_t ReceiveRate::bitsPerSecond(std::int64_t now) {
    expire(now);
    const std::uint64_t bits = total_ * 8 * 1000000 / kSpan;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(bits, std::numeric_limits<std::uint32_t>::max()));
}

void ReceiveRate::expire(std::int64_t now) {
    while (!buckets_.empty() && buckets_.front().time <= now - kSpan) {
        total_ -= buckets_.front().bytes;
        buckets_.pop_front();
    }
}

}  // namespace vel::stream
