#include "stream/loss_window.h"

#include <algorithm>

namespace vel::stream {
namespace {

constexpr std::uint64_t kWindow = 16384;
constexpr std::int64_t kReorderAllowance = 60000;
// History entries closer together than this are merged; the later time is kept, so a number
// is never judged earlier than 60 ms after it became the highest.
constexpr std::int64_t kHistoryResolution = 1000;

}  // namespace

LossWindow::LossWindow() : bits_(kWindow / 64, 0) {}

bool LossWindow::test(std::uint64_t n) const {
    const std::uint64_t i = n % kWindow;
    return (bits_[i / 64] >> (i % 64)) & 1;
}

void LossWindow::set(std::uint64_t n, bool value) {
    const std::uint64_t i = n % kWindow;
    const std::uint64_t bit = std::uint64_t{1} << (i % 64);
    bits_[i / 64] = value ? (bits_[i / 64] | bit) : (bits_[i / 64] & ~bit);
}

void LossWindow::mark(std::uint64_t packetNumber, std::int64_t now) {
    if (packetNumber == 0) return;
    if (highest_ == 0) {
        highest_ = packetNumber;
        nextToJudge_ = packetNumber;
        set(packetNumber, true);
        history_.push_back({now, now, packetNumber});
        return;
    }
    if (packetNumber > highest_) {
        // The slots of the skipped numbers still hold bits of numbers a window older.
        const std::uint64_t skipped = std::min(packetNumber - highest_ - 1, kWindow);
        for (std::uint64_t n = packetNumber - skipped; n < packetNumber; ++n) set(n, false);
        set(packetNumber, true);
        highest_ = packetNumber;
        if (!history_.empty() && now - history_.back().opened < kHistoryResolution) {
            history_.back().time = now;
            history_.back().highest = packetNumber;
        } else {
            history_.push_back({now, now, packetNumber});
        }
        return;
    }
    if (packetNumber + kWindow <= highest_ || packetNumber < nextToJudge_) return;
    set(packetNumber, true);
}

LossWindow::Judgement LossWindow::judge(std::int64_t now) {
    Judgement result;
    // The newest history entry at least 60 ms old bounds what may be judged.
    std::uint64_t bound = 0;
    while (!history_.empty() && now - history_.front().time >= kReorderAllowance) {
        bound = history_.front().highest;
        if (history_.size() > 1 && now - history_[1].time >= kReorderAllowance) {
            history_.pop_front();
        } else {
            break;
        }
    }
    if (bound == 0 || bound < nextToJudge_) return result;
    // Numbers that already left the window cannot be judged any more.
    if (highest_ >= kWindow) nextToJudge_ = std::max(nextToJudge_, highest_ - kWindow + 1);
    for (std::uint64_t n = nextToJudge_; n <= bound; ++n) {
        ++result.judged;
        if (test(n)) ++result.received;
    }
    nextToJudge_ = std::max(nextToJudge_, bound + 1);
    return result;
}

}  // namespace vel::stream
