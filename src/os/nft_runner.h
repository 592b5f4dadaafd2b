#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "os/nft_watch.h"

namespace vel {

// The kernel's nftables: applying scripts, reading a table back, watching for changes.
class NftRunner {
  public:
    virtual ~NftRunner() = default;
    // Hands a script to the kernel as one transaction: either all of it applies or none.
    [[nodiscard]] virtual bool apply(const std::string& script, std::string& error) = 0;
    // The table `family name` as nft's JSON listing; empty when the kernel has no such table.
    [[nodiscard]] virtual bool listTable(const std::string& family, const std::string& name,
                                         std::string& json, std::string& error) = 0;
    // Calls `changed` from a thread of its own whenever the ruleset changes, until the returned
    // watch is destroyed; nullptr when changes cannot be watched.
    virtual std::unique_ptr<NftWatch> watch(std::function<void()> changed) = 0;
};

// Runs nft as a child process (argument vector, no shell): `-f -` with the script on its
// standard input, `-j list table`, and `monitor`. The command that runs nft can be replaced,
// for instance to run it inside another network namespace.
class NftCommand final : public NftRunner {
  public:
    NftCommand();
    explicit NftCommand(std::vector<std::string> command);

    [[nodiscard]] bool apply(const std::string& script, std::string& error) override;
    [[nodiscard]] bool listTable(const std::string& family, const std::string& name,
                                 std::string& json, std::string& error) override;
    std::unique_ptr<NftWatch> watch(std::function<void()> changed) override;

  private:
    std::vector<std::string> command_;
};

}  // namespace vel
