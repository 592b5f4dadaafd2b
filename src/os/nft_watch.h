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

// Runs `argv` (an `nft monitor` command; argv[0] looked up on PATH) and calls `changed` after
// each piece of output it prints, restarting the command a second after it ends. The command ends
// with the watch, and with this process however it ends. nullptr when argv[0] is not found.
std::unique_ptr<NftWatch> StartNftMonitor(std::vector<std::string> argv,
                                          std::function<void()> changed);

}  // namespace vel
