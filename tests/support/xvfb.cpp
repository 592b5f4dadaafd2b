#include "support/xvfb.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "support/wait_until.h"

namespace vel::test {

namespace {

// The display number Xvfb writes on a line of its own once it accepts clients; empty before.
std::string displayNumber(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (!lines.eof() && !line.empty() &&
            line.find_first_not_of("0123456789") == std::string::npos) {
            return line;
        }
    }
    return {};
}

}  // namespace

bool Xvfb::start(int width, int height, std::string& why,
                 const std::vector<std::string>& extraArgs) {
    const char* binary = "/usr/bin/Xvfb";
    if (::access(binary, X_OK) != 0) {
        why = "Xvfb is not installed (Debian package xvfb)";
        return false;
    }
    std::vector<std::string> args = {
        binary,      "-displayfd", "1",
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::string number;
    if (!process_.start(args) ||
        !WaitUntil([&] { return !(number = displayNumber(process_.output())).empty(); },
                   std::chrono::seconds(10))) {
        why = "Xvfb did not come up: " + process_.output();
        return false;
    }
    display_ = ":" + number;
    const char* old = std::getenv("DISPLAY");
    hadDisplay_ = old != nullptr;
    if (old) savedDisplay_ = old;
    ::setenv("DISPLAY", display_.c_str(), 1);
    return true;
}

Xvfb::~Xvfb() {
    // Interrupted, Xvfb removes its socket and lock file.
    static_cast<void>(process_.interrupt());
    if (display_.empty()) return;
    if (hadDisplay_)
        ::setenv("DISPLAY", savedDisplay_.c_str(), 1);
    else
        ::unsetenv("DISPLAY");
}

}  // namespace vel::test
