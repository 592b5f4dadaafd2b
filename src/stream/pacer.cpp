#include "stream/pacer.h"

#include <algorithm>
#include <cmath>

namespace vel::stream {
namespace {

constexpr double kDatagramOverhead = 29;  // packet header and AEAD tag
constexpr std::int64_t kMinSleep = 200;

}  // namespace

Pacer::Pacer(std::uint64_t bitrate, std::int64_t now) : lastRefill_(now) {
    setBitrate(bitrate);
    tokens_ = capacity_;
}

void Pacer::setBitrate(std::uint64_t bitrate) {
    rate_ = std::max(2.0 * static_cast<double>(bitrate), 2000000.0) * 0.125 / 1e6;
    capacity_ = std::max({rate_ * 1e6 / 20, 64000.0, 1500.0});
    tokens_ = std::min(tokens_, capacity_);
}

std::int64_t Pacer::acquire(std::size_t payloadBytes, std::int64_t now) {
    if (now > lastRefill_) {
        tokens_ = std::min(capacity_, tokens_ + rate_ * static_cast<double>(now - lastRefill_));
        lastRefill_ = now;
    }
    const double cost = static_cast<double>(payloadBytes) + kDatagramOverhead;
    if (cost > tokens_) {
        const auto wait = static_cast<std::int64_t>(std::ceil((cost - tokens_) / rate_));
        return std::max(wait, kMinSleep);
    }
    tokens_ -= cost;
    return 0;
}

}  // namespace vel::stream
