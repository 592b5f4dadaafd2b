#include "support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

namespace vel::test {

bool Xvfb::start(int width, int height, std::string& why,
                 const std::vector<std::string>& extraArgs) {
    const char* binary = "/usr/bin/Xvfb";
    if (::access(binary, X_OK) != 0) {
        why = "Xvfb is not installed (Debian package xvfb)";
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return false;
    }
    // Xvfb writes the display number it picked to this descriptor once it accepts clients.
    const int childFd = 3;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], childFd);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {
        binary,      "-displayfd", std::to_string(childFd),
        "-screen",   "0",          std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp",        "-noreset"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, binary, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        pid_ = -1;
        why = "could not start Xvfb";
        return false;
    }
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0) {
        char buffer[32];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        number.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        why = "Xvfb did not come up";
        return false;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
    const char* old = std::getenv("DISPLAY");
    hadDisplay_ = old != nullptr;
    if (old) savedDisplay_ = old;
    ::setenv("DISPLAY", display_.c_str(), 1);
    return true;
}

Xvfb::~Xvfb() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    if (display_.empty()) return;
    if (hadDisplay_)
        ::setenv("DISPLAY", savedDisplay_.c_str(), 1);
    else
        ::unsetenv("DISPLAY");
}

}  // namespace vel::test
