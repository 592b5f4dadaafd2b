#pragma once

#include <string>
#include <vector>

namespace vel {

// Hands an nft script to the kernel as one transaction: either all of it applies or none.
class NftRunner {
  public:
    virtual ~NftRunner() = default;
    [[nodiscard]] virtual bool apply(const std::string& script, std::string& error) = 0;
};

// Runs `nft -f -` as a child process (argument vector, no shell) with the script on its standard
// input. The command can be replaced, for instance to run nft inside another network namespace.
class NftCommand final : public NftRunner {
  public:
    NftCommand();
    explicit NftCommand(std::vector<std::string> argv);

    [[nodiscard]] bool apply(const std::string& script, std::string& error) override;

  private:
    std::vector<std::string> argv_;
};

}  // namespace vel
