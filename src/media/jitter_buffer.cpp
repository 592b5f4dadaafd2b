#include "media/jitter_buffer.h"

#include <algorithm>
#include <cmath>

namespace vel::media {
namespace {

constexpr std::int64_t kRaiseIntervalUs = 200000;
constexpr std::int64_t kShrinkAfterUs = 5000001;
constexpr double kShrinkPerBlock = 0.002;

// Wrap-around comparison of sequence numbers: negative when a comes before b.
std::int32_t sequenceDistance(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

}  // namespace

void JitterBuffer::push(std::uint32_t sequence, const AudioBlock& block) {
    std::lock_guard lock(mutex_);
    if (!haveExpected_) {
        haveExpected_ = true;
        expected_ = sequence;
    }
    if (sequenceDistance(sequence, expected_) < 0) return;
    auto at = std::find_if(queue_.begin(), queue_.end(), [&](const Entry& e) {
        return sequenceDistance(e.sequence, sequence) >= 0;
    });
    if (at != queue_.end() && at->sequence == sequence) return;
    queue_.insert(at, Entry{sequence, block});
    const auto limit = static_cast<std::size_t>(std::floor(2 * target_ + 4));
    while (queue_.size() > limit) {
        expected_ = queue_.front().sequence + 1;
        queue_.pop_front();
        ++counters_.overflowDrops;
    }
}

StereoFrame JitterBuffer::pop(std::int64_t nowUs) {
    if (currentFrame_ >= kBlockFrames) {
        std::lock_guard lock(mutex_);
        if (!playing_ && queue_.size() < static_cast<std::size_t>(std::ceil(target_))) {
            return {};
        }
        playing_ = true;
        nextBlock(nowUs);
    }
    const std::size_t i = currentFrame_++ * kAudioChannels;
    return {current_[i], current_[i + 1]};
}

void JitterBuffer::nextBlock(std::int64_t nowUs) {
    currentFrame_ = 0;
    if (!queue_.empty() && sequenceDistance(queue_.front().sequence, expected_) <= 0) {
        current_ = queue_.front().block;
        queue_.pop_front();
        ++expected_;
        ++counters_.played;
        if (nowUs - lastRaise_ >= kShrinkAfterUs && target_ > kMinTarget) {
            target_ = std::max(kMinTarget, target_ - kShrinkPerBlock);
        }
        return;
    }
    if (queue_.empty()) {
        ++counters_.underruns;
        if (nowUs - lastRaise_ > kRaiseIntervalUs) {
            target_ = std::min(kMaxTarget, target_ + 1.0);
            lastRaise_ = nowUs;
        }
        playing_ = false;
    }
    ++expected_;
    current_.fill(0);
}

JitterStats JitterBuffer::stats() const {
    std::lock_guard lock(mutex_);
    JitterStats s = counters_;
    s.target = target_;
    s.queued = queue_.size();
    return s;
}

}  // namespace vel::media
