#pragma once

#include <memory>
#include <string>

#include "client/secret_text.h"

namespace vel::client {

// Asks the person at the keyboard for their security key's PIN.
class PinPrompt {
  public:
    virtual ~PinPrompt() = default;
    // False (with a reason) when no PIN could be read, also when the person gave none.
    [[nodiscard]] virtual bool readPin(const std::string& prompt, SecretText& pin,
                                       std::string& error) = 0;
};

// Reads from the terminal with echo turned off; when standard input is not a terminal (a script
// or a test feeding it), one line from standard input.
std::unique_ptr<PinPrompt> NewTerminalPinPrompt();

}  // namespace vel::client
