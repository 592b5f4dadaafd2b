#pragma once

#include <cstddef>
#include <mutex>

namespace vel::gate {

// The request-body bytes all connections together may hold. A body takes its share before the
// first byte is read and gives it back when its request ends; one that does not fit is refused
// rather than buffered. Thread-safe.
class BodyBudget {
  public:
    explicit BodyBudget(std::size_t capacity) : free_(capacity) {}

    [[nodiscard]] bool take(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        if (bytes > free_) return false;
        free_ -= bytes;
        return true;
    }
    void giveBack(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        free_ += bytes;
    }

  private:
    std::mutex mutex_;
    std::size_t free_;  // guarded by mutex_
};

}  // namespace vel::gate
