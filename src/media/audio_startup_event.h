#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vel::media {

// Signalled once by an audio thread when it has either started or failed to start.
class AudioStartupEvent {
  public:
    void signal() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        changed_.notify_all();
    }

    // True when the event was signalled within the timeout.
    [[nodiscard]] bool waitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return signalled_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;  // guarded by mutex_
};

}  // namespace vel::media
