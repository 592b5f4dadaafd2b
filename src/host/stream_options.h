#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vel::host {

// The options after a stream subcommand, names compared without regard to case. A value option
// takes the next word. Every lookup marks the option as known, so that whatever is left over
// can be refused.
class StreamOptions {
  public:
    StreamOptions(int argc, char** argv, int first);

    bool flag(const char* name);
    std::optional<std::string> value(const char* name);
    // The value as a number (std::stoi: out of range throws std::out_of_range), or the fallback.
    int number(const char* name, int fallback);
    // The first word no lookup claimed, or nothing.
    std::optional<std::string> unknown() const;

  private:
    std::vector<std::string> words_;
    std::vector<bool> claimed_;
};

}  // namespace vel::host
