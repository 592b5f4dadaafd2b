#include "stream/network_emulation.h"

#include <algorithm>
#include <cmath>

namespace vel::stream {
namespace {

constexpr std::int64_t kMaxQueueWait = 60000;

}  // namespace

NetworkEmulator::NetworkEmulator(const NetworkEmulation& settings)
    : settings_(settings), random_(settings.seed) {
    if (settings.rateLimit > 0) {
        rate_ = static_cast<double>(settings.rateLimit) / 8 / 1e6;
        // A burst of 10 ms of the link, and never less than one full datagram.
        capacity_ = std::max(rate_ * 10000, 1500.0);
        tokens_ = capacity_;
    }
}

std::optional<std::int64_t> NetworkEmulator::admit(std::size_t bytes, std::int64_t now) {
    if (settings_.loss > 0 && random_.fraction() < settings_.loss) return std::nullopt;

    std::int64_t due = now;
    if (rate_ > 0) {
        if (started_ && now > lastRefill_) {
            tokens_ = std::min(capacity_, tokens_ + rate_ * static_cast<double>(now - lastRefill_));
        }
        lastRefill_ = std::max(lastRefill_, now);
        started_ = true;
        const double size = static_cast<double>(bytes);
        if (size > tokens_) {
            const auto wait = static_cast<std::int64_t>(std::ceil((size - tokens_) / rate_));
            if (wait > kMaxQueueWait) return std::nullopt;
            due += wait;
        }
        tokens_ -= size;
    }

    std::int64_t delay = std::int64_t{settings_.delayMs} * 1000;
    if (settings_.jitterMs > 0) {
        const double jitter = (2 * random_.fraction() - 1) * settings_.jitterMs * 1000;
        delay += std::llround(jitter);
    }
    return due + std::max<std::int64_t>(delay, 0);
}

}  // namespace vel::stream
