#pragma once

#include <cstdint>
#include <optional>

#include "core/time.h"

namespace vel::host {

// One second of measurements, as the video thread gathers them.
struct BalanceSample {
    double smoothedLoss = 0;     // 0..1
    double queuingDelayUs = 0;   // the viewer's last report
    double smoothedRttUs = 0;
    double sentBitrate = 0;      // bits per second over the last second
    double targetBitrate = 0;    // 0: none yet
    double captureEncodeUs = 0;  // mean capture + encode time of a frame
    double convertQueueUs = 0;   // mean conversion + encoder queueing time of a frame
    double frameIntervalUs = 16667;
    double processorLoad = 0;  // 0..1, the larger of the machine's two load measures
    double framesWaiting = 0;  // frames queued at the encoder
};

// Moves the bias between the levels 0, 25, 50, 75 and 100 from network and compute pressure,
// smoothed so that one bad second does not swing the stream, and never twice within 5 s.
class AutomaticBalance {
  public:
    static constexpr std::int64_t kMinChangeIntervalMs = 5000;

    // The clock tells the 5 s rule; the balance starts as if it had just changed.
    explicit AutomaticBalance(const Clock& clock);

    // Takes one second's sample and returns the level to move to, if a move is due now.
    std::optional<int> update(const BalanceSample& sample, int baseBias, int currentBias);
    // Records a profile change made for any reason (a viewer's request, a new screen).
    void changed();

    double network() const { return network_; }
    double compute() const { return compute_; }

  private:
    const Clock& clock_;
    double network_ = 0;
    double compute_ = 0;
    double smoothedTarget_ = -1;  // below 0 until the first sample
    std::int64_t lastChangeMs_;
};

}  // namespace vel::host
