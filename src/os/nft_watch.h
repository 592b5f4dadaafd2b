#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vel {

// Ends a watch on nftables' changes when destroyed.
class NftWatch {
  public:
    virtual ~NftWatch() = default;
};

// Runs `argv` (an `nft monitor` command) and calls `changed` after each piece of output it
// prints, restarting the command when it ends. nullptr when it cannot be started at all.
std::unique_ptr<NftWatch> StartNftMonitor(std::vector<std::string> argv,
                                          std::function<void()> changed);

}  // namespace vel
