#include "client/pin_prompt.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "os/system_error.h"

namespace vel::client {

namespace {

class TerminalPinPrompt : public PinPrompt {
  public:
    bool readPin(const std::string& prompt, SecretText& pin, std::string& error) override {
        pin.clear();
        std::fprintf(stderr, "%s", prompt.c_str());
        std::fflush(stderr);
        const bool terminal = ::isatty(STDIN_FILENO) == 1;
        termios saved{};
        if (terminal) {
            if (::tcgetattr(STDIN_FILENO, &saved) != 0) {
                error = FailedText("tcgetattr", errno);
                return false;
            }
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
        const bool complete = readLine(pin.text());
        if (terminal) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        if (!complete || pin.empty()) {
            pin.clear();
            error = "no PIN was entered";
            return false;
        }
        return true;
    }

  private:
    // Reads byte by byte so that nothing past the line stays in a buffer that is never wiped.
    static bool readLine(std::string& line) {
        for (;;) {
            char c = 0;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return !line.empty();
            if (c == '\n') return true;
            if (c != '\r') line.push_back(c);
            if (line.size() > 255) return false;
        }
    }
};

}  // namespace

std::unique_ptr<PinPrompt> NewTerminalPinPrompt() {
    return std::make_unique<TerminalPinPrompt>();
}

}  // namespace vel::client
