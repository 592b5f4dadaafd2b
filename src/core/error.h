#pragma once

#include <stdexcept>
#include <string>

namespace vel {

// The program's exception for failures a caller cannot handle locally (a failed hash or random
// generator, a corrupt store, a stream that cannot be set up). Ordinary failures return bool.
class Error : public std::runtime_error {
public:
    explicit Error(std::string message) : std::runtime_error(std::move(message)) {}
};

}  // namespace vel
