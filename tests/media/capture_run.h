#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/time.h"
#include "media/audio_capture.h"

namespace vel::media::test {

// Runs a capture thread for a test and keeps every block it delivers.
class CaptureRun {
  public:
    struct Block {
        std::vector<std::int16_t> samples;  // stereo, interleaved
        std::int64_t timestampUs;
        std::int64_t deliveredUs;
    };

    explicit CaptureRun(AudioSystem& system, AudioRole role = AudioRole::Loopback,
                        std::string deviceId = {}) {
        context_.system = &system;
        context_.role = role;
        context_.deviceId = std::move(deviceId);
        context_.onBlock = [this](const std::int16_t* samples, std::size_t frames,
                                  std::int64_t ts) {
            std::lock_guard lock(mutex_);
            blocks_.push_back({{samples, samples + frames * 2}, ts, MonotonicMicros()});
            arrived_.notify_all();
        };
        thread_ = std::thread([this] { audioCaptureThread(context_); });
    }
    ~CaptureRun() {
        context_.stop = true;
        if (thread_.joinable()) thread_.join();
    }
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    AudioCaptureContext& context() { return context_; }

    // Waits until the blocks satisfy done, at most 20 s, and returns them.
    template <typename Done>
    std::vector<Block> waitUntil(Done done) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(20), [&] { return done(blocks_); });
        return blocks_;
    }

    std::vector<Block> waitForBlocks(std::size_t count) {
        return waitUntil([&](const std::vector<Block>& blocks) { return blocks.size() >= count; });
    }

    // Waits for the thread to end by itself.
    void join() { thread_.join(); }

  private:
    AudioCaptureContext context_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Block> blocks_;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace vel::media::test
