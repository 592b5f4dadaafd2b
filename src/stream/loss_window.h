#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace vel::stream {

// The viewer's record of which packet numbers arrived. A number is judged (its fate decided)
// only once the highest number seen 60 ms earlier has passed it, so packets that arrive late by
// reordering within 60 ms are not counted as lost. Times are session microseconds.
class LossWindow {
  public:
    struct Judgement {
        std::uint32_t received = 0;
        std::uint32_t judged = 0;
    };

    LossWindow();

    // An authenticated packet arrived. Numbers that fell out of the 16384-number window, or
    // were already judged, are ignored.
    void mark(std::uint64_t packetNumber, std::int64_t now);

    // Judges every number up to the highest seen at least 60 ms before now, returning the counts
    // since the previous call (one per feedback).
    Judgement judge(std::int64_t now);

    std::uint64_t highest() const { return highest_; }

  private:
    bool test(std::uint64_t n) const;
    void set(std::uint64_t n, bool value);

    std::vector<std::uint64_t> bits_;
    std::uint64_t highest_ = 0;  // 0: nothing received yet
    std::uint64_t nextToJudge_ = 0;
    // When the highest number reached each value, oldest first, merged per millisecond.
    struct Step {
        std::int64_t opened;  // time of the first update merged into this step
        std::int64_t time;    // time of the last one
        std::uint64_t highest;
    };
    std::deque<Step> history_;
};

}  // namespace vel::stream
