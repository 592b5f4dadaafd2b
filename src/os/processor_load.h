#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vel {

// The processor's busy share between two samples, from /proc/stat.
class ProcessorLoad {
  public:
    struct Shares {
        double machine = 0;      // all processors together, 0..1
        double busiestCore = 0;  // the busiest single processor, 0..1
    };

    // The shares since the previous call; zeros on the first call or when /proc/stat is away.
    Shares sample();

  private:
    struct Times {
        std::uint64_t busy = 0;
        std::uint64_t total = 0;
    };
    std::vector<Times> last_;  // the "cpu" line first, then one per processor
};

}  // namespace vel
