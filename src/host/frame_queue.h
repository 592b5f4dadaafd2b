#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace vel::host {

// One NV12 frame waiting for an encoder's thread.
struct EncodeJob {
    std::vector<std::uint8_t> nv12;
    std::int64_t timestampUs = 0;
    bool forceKeyframe = false;
    std::chrono::steady_clock::time_point submitted;
};

// The input queue of an encoder: at most two frames, so a slow encoder never builds a backlog;
// under load the newest frames win, and a dropped frame's keyframe request passes to the next.
class FrameQueue {
  public:
    static constexpr std::size_t kCapacity = 2;

    void push(EncodeJob job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
            while (jobs_.size() > kCapacity) {
                // A keyframe asked for must not vanish with the frame that carried the request.
                if (jobs_.front().forceKeyframe) jobs_[1].forceKeyframe = true;
                jobs_.pop_front();
                ++dropped_;
            }
        }
        wake_.notify_all();
    }

    // The oldest job, or nothing once stopped. Queued jobs are discarded on stop.
    std::optional<EncodeJob> take() {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopped_ || !jobs_.empty(); });
        if (stopped_) {
            return std::nullopt;
        }
        EncodeJob job = std::move(jobs_.front());
        jobs_.pop_front();
        return job;
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            jobs_.clear();
        }
        wake_.notify_all();
    }

    std::int64_t size() const {
        std::lock_guard lock(mutex_);
        return static_cast<std::int64_t>(jobs_.size());
    }

    std::uint64_t dropped() const {
        std::lock_guard lock(mutex_);
        return dropped_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<EncodeJob> jobs_;  // guarded by mutex_
    std::uint64_t dropped_ = 0;   // guarded by mutex_
    bool stopped_ = false;        // guarded by mutex_
};

// Microseconds since `since`, saturated to 32 bits.
inline std::uint32_t elapsedUs32(std::chrono::steady_clock::time_point since) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - since)
                  .count();
    return us <= 0 ? 0 : us >= 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(us);
}

}  // namespace vel::host
