#pragma once

#include <chrono>
#include <thread>

namespace vel::test {

// Polls until the condition holds; false when `limit` (a bound on a hang, not a speed goal)
// passed first.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace vel::test
