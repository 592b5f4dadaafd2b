#include "host/automatic_balance.h"

#include <algorithm>
#include <cmath>

namespace vel::host {
namespace {

double unit(double value) {
    return std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.0;
}

}  // namespace

AutomaticBalance::AutomaticBalance(const Clock& clock)
    : clock_(clock), lastChangeMs_(clock.steadyMillis()) {}

void AutomaticBalance::changed() {
    lastChangeMs_ = clock_.steadyMillis();
}

std::optional<int> AutomaticBalance::update(const BalanceSample& s, int baseBias,
                                            int currentBias) {
    double network = std::max({unit((s.smoothedLoss - 0.01) / 0.09),
                               unit((s.queuingDelayUs - 5000) / 35000),
                               unit(0.5 * (s.smoothedRttUs - 40000) / 110000)});
    if (s.targetBitrate > 0)
        network = std::max(network, unit((1 - s.sentBitrate / s.targetBitrate - 0.5) / 0.4));
    network_ += 0.3 * (network - network_);

    const double interval = std::max(s.frameIntervalUs, 1.0);
    const double compute = std::max({unit(2 * (s.captureEncodeUs / interval - 0.5)),
                                     unit(2 * (s.convertQueueUs / interval - 0.5)),
                                     unit((s.processorLoad - 0.75) / 0.22),
                                     unit((s.framesWaiting - 1) / 9)});
    compute_ += 0.3 * (compute - compute_);

    const double target = std::clamp(2 * 50 * (compute_ - network_) + baseBias, 0.0, 100.0);
    if (smoothedTarget_ < 0) smoothedTarget_ = baseBias;
    smoothedTarget_ += 0.25 * (target - smoothedTarget_);

    const int level = static_cast<int>(std::lround(smoothedTarget_ / 25.0)) * 25;
    if (level == currentBias) return std::nullopt;
    if (clock_.steadyMillis() - lastChangeMs_ < kMinChangeIntervalMs) return std::nullopt;
    lastChangeMs_ = clock_.steadyMillis();
    return level;
}

}  // namespace vel::host
