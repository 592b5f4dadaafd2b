#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "media/audio_block.h"

namespace vel::media {

struct StereoFrame {
    std::int16_t left = 0;
    std::int16_t right = 0;
};

struct JitterStats {
    std::uint64_t played = 0;
    std::uint64_t overflowDrops = 0;
    std::uint64_t underruns = 0;
    double target = 0;
    std::size_t queued = 0;
};

// Reorders the viewer's microphone blocks and absorbs their jitter. The depth it waits for grows
// by a block for every 200 ms of underruns and shrinks slowly once growth has stopped for 5 s.
// push runs on the receive path, pop on the playback thread; times are monotonic microseconds.
class JitterBuffer {
  public:
    static constexpr double kInitialTarget = 3.0;
    static constexpr double kMinTarget = 2.0;
    static constexpr double kMaxTarget = 20.0;

    void push(std::uint32_t sequence, const AudioBlock& block);

    // The next stereo frame to play, or silence while priming or for a missing block.
    StereoFrame pop(std::int64_t nowUs);

    JitterStats stats() const;

  private:
    struct Entry {
        std::uint32_t sequence;
        AudioBlock block;
    };

    // Called with mutex_ held when the playback thread needs a new current block.
    void nextBlock(std::int64_t nowUs);

    mutable std::mutex mutex_;
    std::deque<Entry> queue_;         // guarded by mutex_, in sequence order
    bool haveExpected_ = false;       // guarded by mutex_
    std::uint32_t expected_ = 0;      // guarded by mutex_
    double target_ = kInitialTarget;  // guarded by mutex_
    std::int64_t lastRaise_ = 0;      // guarded by mutex_
    bool playing_ = false;            // guarded by mutex_
    JitterStats counters_;            // guarded by mutex_

    // The block being played; touched only by the playback thread.
    AudioBlock current_{};
    std::size_t currentFrame_ = kBlockFrames;
};

}  // namespace vel::media
