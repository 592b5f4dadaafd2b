#include "stream/replay_window.h"

namespace vel::stream {

bool ReplayWindow::acceptable(std::uint64_t number) const {
    if (empty_ || number > highest_) return true;
    return highest_ - number < kSize && !seen_.test(number % kSize);
}

bool ReplayWindow::mark(std::uint64_t number) {
    if (empty_ || number > highest_) {
        if (empty_ || number - highest_ >= kSize) {
            seen_.reset();
        } else {
            // Slots of the numbers the window slides over are reused for them, so clear them.
            for (std::uint64_t n = highest_ + 1; n < number; ++n) seen_.reset(n % kSize);
        }
        seen_.set(number % kSize);
        highest_ = number;
        empty_ = false;
        return true;
    }
    if (highest_ - number < kSize) seen_.set(number % kSize);
    return false;
}

}  // namespace vel::stream
