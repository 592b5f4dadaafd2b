#pragma once

#include <bitset>
#include <cstdint>

namespace vel::stream {

// Anti-replay over received packet numbers: anything above the highest is new; up to 1023 below
// it is accepted once; older numbers are refused.
class ReplayWindow {
  public:
    static constexpr std::uint64_t kSize = 1024;

    // Whether a packet with this number may still be opened; asked before authentication.
    bool acceptable(std::uint64_t number) const;
    // Records an authenticated number; true when it is the highest so far.
    bool mark(std::uint64_t number);
    bool empty() const { return empty_; }
    std::uint64_t highest() const { return highest_; }

  private:
    std::bitset<kSize> seen_;  // bit n % kSize for each number within kSize of the highest
    std::uint64_t highest_ = 0;
    bool empty_ = true;
};

}  // namespace vel::stream
